#pragma once

#include <cstdio>
#include <memory>

#include "directory/fat_directory.hpp"
#include "platform/file_io.hpp"
#include "volume/fat_volume.hpp"
#include "volume/image_device.hpp"

namespace fat12img {

// The one image a run works on. mountImage, closeImage and openRootDirectory are the only
// ways to change this state, apart from cd and releaseDirectory, which replace the current
// directory object.
struct ImageState {
    bool binaryMode = false;
    bool readOnly = false;            // the host lets this run only read the image
    const char* imagePath = nullptr;  // not copied: it lives for the whole run
    OpenFile imageFile;
    ImageDevice imageDevice;
    std::unique_ptr<FatVolume> volumeHolder;
    std::unique_ptr<Directory> currentDirectory;
};

extern ImageState image;

// Opens the existing image for update, or for reading only when the host refuses writing
// it, and mounts it; true when the image is open, in either mode. A missing image is not
// created here: that is the lock's work, before anything is read.
bool mountImage(const char* path);
// Closes the image; false when the host reports that the close failed, which may be
// where a network file system tells of a write it could not complete.
bool closeImage();
bool mountVolume(std::unique_ptr<FatVolume>& holder, ImageDevice& device);
std::unique_ptr<FatDirectory> openRootDirectory();
// Closes the image and forgets everything, as at program start.
void resetImageState();
// Whether a host path names the image file itself (by identity, not by spelling): opening
// it for writing would empty the mounted image.
bool isImageFile(const char* hostPath);
// Whether the file-system commands can run: a volume is mounted and a directory current.
bool fileSystemAvailable();
// For every command that would change the image, before it looks at its arguments: true,
// after saying so, when the image may only be read.
bool refuseIfReadOnly();

}  // namespace fat12img
