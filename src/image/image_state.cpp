#include "image/image_state.hpp"

#include <new>

#include "platform/file_io.hpp"
#include "raw/format.hpp"

namespace fat12img {

ImageState image;

namespace {

bool openAndMount(const char* path, bool formatWhenUnopenable) {
    image.binaryMode = false;
    image.imagePath = path;
    image.imageFile = OpenFile::open(path, "rb+", FileRole::Image);
    if (!image.imageFile) {
        return formatWhenUnopenable && createEmptyImage(path) && openAndMount(path, false);
    }
    image.imageDevice.attach(image.imageFile.get());
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

}  // namespace

bool mountImage(const char* path) {
    return openAndMount(path, true);
}

bool mountFormattedImage(const char* path) {
    // The file was just written: failing to open it again must not format it again.
    return openAndMount(path, false);
}

bool createEmptyImage(const char* path, const FormatOptions& options) {
    switch (writeEmptyFloppy(path, options)) {
        case FloppyWrite::Done:
            return true;
        case FloppyWrite::WriteFailed:
            // A short image would mount as a damaged one later: leave none.
            removeIncompleteHostFile(path);
            return false;
        case FloppyWrite::CannotCreate:
            break;  // what is there (a read-only image, say) stays untouched
    }
    return false;
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
    image.imagePath = nullptr;
}

bool isImageFile(const char* hostPath) {
    return isSameHostFile(hostPath, image.imagePath);
}

bool fileSystemAvailable() {
    return !image.binaryMode && image.currentDirectory != nullptr && image.volumeHolder;
}

}  // namespace fat12img
