#include "volume/transaction.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "volume/fat12_entry.hpp"
#include "volume/fat_volume.hpp"

namespace fat12img {

bool SectorJournal::keep(uint32_t sector, const uint8_t* bytes, uint32_t bytesPerSector) {
    if (holds(sector)) {
        return true;
    }
    try {
        where_.emplace(sector, sectors_.size());
        sectors_.push_back(sector);
        bytes_.insert(bytes_.end(), bytes, bytes + bytesPerSector);
    } catch (const std::bad_alloc&) {
        where_.erase(sector);
        sectors_.resize(where_.size());
        bytes_.resize(sectors_.size() * bytesPerSector);
        return false;
    }
    return true;
}

void SectorJournal::overlay(uint32_t first, uint32_t count, uint8_t* buffer,
                            uint32_t bytesPerSector) const {
    for (auto it = where_.lower_bound(first); it != where_.end() && it->first - first < count;
         ++it) {
        std::memcpy(buffer + static_cast<size_t>(it->first - first) * bytesPerSector,
                    bytes_.data() + it->second * bytesPerSector, bytesPerSector);
    }
}

bool SectorJournal::writeBack(FatVolume& volume) {
    const uint32_t bps = volume.bytesPerSector();
    while (!sectors_.empty()) {
        // The last sectors written go back first; sectors first written one after the
        // other at adjacent places go back in one write.
        size_t begin = sectors_.size() - 1;
        while (begin > 0 && sectors_[begin - 1] + 1 == sectors_[begin]) {
            --begin;
        }
        const uint32_t count = static_cast<uint32_t>(sectors_.size() - begin);
        if (!volume.writeToImage(sectors_[begin], count, bytes_.data() + begin * bps)) {
            return false;
        }
        for (size_t i = begin; i < sectors_.size(); ++i) {
            where_.erase(sectors_[i]);
        }
        sectors_.resize(begin);
        bytes_.resize(begin * bps);
    }
    return true;
}

void SectorJournal::clear() {
    sectors_.clear();
    bytes_.clear();
    where_.clear();
}

Transaction::Transaction(FatVolume& volume) : volume_(volume) {
    if (volume.transaction_ != nullptr) {
        outer_ = volume.transaction_;
        return;
    }
    fatInMemory_ = volume.fatInMemory_;
    fatOnImage_ = volume.fatOnImage_;
    volume.transaction_ = this;
}

Transaction::~Transaction() {
    if (outer_ != nullptr) {
        return;
    }
    volume_.transaction_ = nullptr;
    if (!committed_) {
        undo();
    }
    // Whoever joined hears of the end in the reverse order of joining.
    for (auto it = participants_.rbegin(); it != participants_.rend(); ++it) {
        (*it)->transactionEnded(committed_);
    }
}

void Transaction::join(TransactionParticipant& participant) {
    if (outer_ != nullptr) {
        outer_->join(participant);
        return;
    }
    participants_.push_back(&participant);
}

void Transaction::leave(TransactionParticipant& participant) {
    if (outer_ != nullptr) {
        outer_->leave(participant);
        return;
    }
    participants_.erase(std::remove(participants_.begin(), participants_.end(), &participant),
                        participants_.end());
}

bool Transaction::commit() {
    if (outer_ != nullptr) {
        return true;
    }
    committed_ = volume_.barrier();
    return committed_;
}

bool Transaction::wasFreeAtStart(uint32_t sector) const {
    const Geometry& g = volume_.geometry();
    if (sector < g.firstDataSector) {
        return false;
    }
    const uint32_t cluster = (sector - g.firstDataSector) / g.sectorsPerCluster + 2;
    return cluster < g.clusterLimit && unpackFat12(fatOnImage_.data(), cluster) == kFatFree &&
           unpackFat12(fatInMemory_.data(), cluster) == kFatFree;
}

bool Transaction::recordBefore(uint32_t first, uint32_t count, const uint8_t* before) {
    const uint32_t bps = volume_.bytesPerSector();
    ByteBuffer read;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t sector = first + i;
        if (journal_.holds(sector) || wasFreeAtStart(sector)) {
            continue;
        }
        const uint8_t* old = before != nullptr ? before + static_cast<size_t>(i) * bps : nullptr;
        if (old == nullptr) {
            try {
                read.resize(bps);
            } catch (const std::bad_alloc&) {
                return false;
            }
            if (!volume_.readSectorOrZeros(sector, read.data())) {
                return false;
            }
            old = read.data();
        }
        if (!journal_.keep(sector, old, bps)) {
            return false;
        }
    }
    return true;
}

void Transaction::undo() {
    // The old bytes are on the disk before the failure is reported. A barrier that fails
    // here changes nothing: the operation has failed already, and the bytes are written.
    if (journal_.writeBack(volume_)) {
        volume_.barrier();
    } else {
        // The image takes no more writes for now: what is left is read as if it were
        // there and goes back before any later write.
        volume_.unfinishedUndo_ = std::move(journal_);
    }
    volume_.adoptFat(std::move(fatInMemory_), std::move(fatOnImage_));
}

}  // namespace fat12img
