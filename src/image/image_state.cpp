#include "image/image_state.hpp"

#include <new>

#include "console/console.hpp"
#include "console/messages.hpp"
#include "platform/file_io.hpp"
#include "platform/file_open.hpp"

namespace fat12img {

ImageState image;

bool mountImage(const char* path) {
    image.binaryMode = false;
    image.imagePath = path;
    ImageAccess access = ImageAccess::Unusable;
    image.imageFile = openImageFile(path, access);
    if (!image.imageFile) {
        return false;
    }
    image.readOnly = access == ImageAccess::ReadOnly;
    image.imageDevice.attach(image.imageFile.get(), image.readOnly);
    if (!mountVolume(image.volumeHolder, image.imageDevice)) {
        image.binaryMode = true;
        image.currentDirectory.reset();
        return true;
    }
    image.currentDirectory = openRootDirectory();
    if (!image.currentDirectory) {
        closeImage();
        return false;
    }
    return true;
}

bool closeImage() {
    image.currentDirectory.reset();
    const bool closed = image.imageFile.close();
    // The holder must not keep a handle that is no longer open.
    image.imageDevice.attach(nullptr);
    return closed;
}

bool mountVolume(std::unique_ptr<FatVolume>& holder, ImageDevice& device) {
    holder.reset();
    std::unique_ptr<FatVolume> volume(new (std::nothrow) FatVolume());
    if (!volume || !volume->mount(device)) {
        return false;
    }
    holder = std::move(volume);
    return true;
}

std::unique_ptr<FatDirectory> openRootDirectory() {
    if (!image.volumeHolder) {
        return nullptr;
    }
    std::unique_ptr<FatDirectory> root(new (std::nothrow) FatRootDirectory());
    if (!root || !root->load(image.volumeHolder.get(), 0)) {
        return nullptr;
    }
    return root;
}

void resetImageState() {
    closeImage();
    image.volumeHolder.reset();
    image.binaryMode = false;
    image.readOnly = false;
    image.imagePath = nullptr;
    image.imageDevice.syncWrites = false;
}

bool isImageFile(const char* hostPath) {
    return isSameHostFile(hostPath, image.imagePath);
}

bool fileSystemAvailable() {
    return !image.binaryMode && image.currentDirectory != nullptr && image.volumeHolder;
}

bool refuseIfReadOnly() {
    if (image.readOnly) {
        printLine(msg::kMsgImageReadOnly);
    }
    return image.readOnly;
}

}  // namespace fat12img
