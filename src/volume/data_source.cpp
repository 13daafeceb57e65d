#include "volume/data_source.hpp"

namespace fat12img {

namespace {

// Whether a copy moved everything; when not, notes whether the reading side was to blame.
bool wholeCopy(CopyOutcome outcome, bool& readFailed) {
    switch (outcome) {
        case CopyOutcome::Whole:
            return true;
        case CopyOutcome::SourceEnded:
        case CopyOutcome::ReadFailed:
            readFailed = true;
            return false;
        case CopyOutcome::WriteFailed:
            break;
    }
    return false;
}

}  // namespace

bool HostFileSource::advance(size_t length) {
    position_ += length;
    if (position_ == size_ && !file_.close()) {
        readFailed_ = true;
        return false;
    }
    return true;
}

bool HostFileSource::sendTo(ImageDevice& image, uint64_t offset, size_t length) {
    if (length > size_ - position_ || image.file == nullptr || image.readOnly) {
        return false;
    }
    return wholeCopy(copyBetween({file_.get(), FileRole::Host, position_},
                                 {image.file, FileRole::Image, offset}, length, buffer_),
                     readFailed_) &&
           advance(length);
}

bool HostFileSource::copyInto(uint8_t* buffer, size_t length) {
    if (length > size_ - position_) {
        return false;
    }
    if (readBlockAt(file_.get(), position_, buffer, length, FileRole::Host) != ReadOutcome::Whole) {
        readFailed_ = true;
        return false;
    }
    return advance(length);
}

bool HostFileSink::receiveFrom(ImageDevice& image, uint64_t offset, size_t length) {
    if (image.file == nullptr) {
        return false;
    }
    return wholeCopy(copyBetween({image.file, FileRole::Image, offset}, {file_, FileRole::Host, {}},
                                 length, buffer_),
                     readFailed_);
}

}  // namespace fat12img
