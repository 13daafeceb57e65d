#include "directory/fat_directory.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "file/fat_file.hpp"
#include "volume/byte_order.hpp"
#include "volume/fat12_entry.hpp"

namespace fat12img {

namespace {

// How much of a new file's last run is copied to travel with its partial last sector.
constexpr uint32_t kStagedSectors = 64;

}  // namespace

void FatDirectory::adoptTable(FatVolume* volume, uint32_t firstCluster, uint32_t lastCluster,
                              ByteBuffer entries, std::vector<uint32_t> sectorNumbers) {
    volume_ = volume;
    firstCluster_ = firstCluster;
    lastCluster_ = lastCluster;
    entries_ = std::move(entries);
    entriesOnImage_ = entries_;
    sectorNumbers_ = std::move(sectorNumbers);
    appendPos_ = findEndMarker();
}

bool FatDirectory::isInUse(int index) const {
    return index >= 0 && index < slotCount() && classifySlot(slot(index)) == SlotClass::InUse;
}

int FatDirectory::findEndMarker() const {
    // Long-name slots are stepped over whatever their first byte.
    for (int i = 0; i < slotCount(); ++i) {
        const SlotClass c = classifySlot(slot(i));
        if (c != SlotClass::LongName && slot(i)[entry::kName] == entry::kEndMarker) {
            return i;
        }
    }
    return slotCount();
}

bool FatDirectory::writeChangedSectors() {
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t count = static_cast<uint32_t>(sectorNumbers_.size());
    auto changed = [&](uint32_t i) {
        const size_t offset = static_cast<size_t>(i) * bps;
        return std::memcmp(entries_.data() + offset, entriesOnImage_.data() + offset, bps) != 0;
    };
    for (uint32_t i = 0; i < count;) {
        if (!changed(i)) {
            ++i;
            continue;
        }
        // Changed sectors that follow each other on the image travel in one write.
        uint32_t end = i + 1;
        while (end < count && changed(end) && sectorNumbers_[end] == sectorNumbers_[end - 1] + 1) {
            ++end;
        }
        const size_t offset = static_cast<size_t>(i) * bps;
        const size_t length = static_cast<size_t>(end - i) * bps;
        if (!volume_->writeSectors(sectorNumbers_[i], end - i, entries_.data() + offset)) {
            // The image may hold part of the write: write these sectors again next time.
            for (size_t b = offset; b < offset + length; b += bps) {
                entriesOnImage_[b] = static_cast<uint8_t>(~entries_[b]);
            }
            return false;
        }
        std::memcpy(entriesOnImage_.data() + offset, entries_.data() + offset, length);
        i = end;
    }
    return true;
}

bool FatDirectory::restoreTable(const ByteBuffer& before, int appendPos, uint32_t lastCluster) {
    // Sectors added since hold zeros in a cluster that the FAT gives back: only the
    // sectors the table had are written back.
    const size_t bps = volume_->bytesPerSector();
    const size_t sectors = before.size() / bps;
    entries_ = before;
    entriesOnImage_.resize(before.size());
    sectorNumbers_.resize(sectors);
    appendPos_ = appendPos;
    lastCluster_ = lastCluster;
    return writeChangedSectors();
}

int FatDirectory::findEntry(const char* name) const {
    uint8_t key[entry::kNameFieldSize];
    toShortName(key, name);
    for (int i = 0; i < slotCount(); ++i) {
        const SlotClass c = classifySlot(slot(i));
        if (c == SlotClass::Free || c == SlotClass::LongName) {
            continue;
        }
        if (c == SlotClass::EndMarker) {
            return -1;
        }
        if (shortNamesMatch(key, slot(i))) {
            return i;
        }
    }
    return -1;
}

int FatDirectory::getEntryName(int index, char* buffer) const {
    if (!isInUse(index)) {
        return -1;
    }
    char scratch[entry::kDisplayNameSize];
    return displayName(slot(index), buffer != nullptr ? buffer : scratch);
}

int FatDirectory::firstEntry() const {
    return nextEntry(-1);
}

int FatDirectory::nextEntry(int index) const {
    // Checked before the step, so that no index a caller passes can overflow it.
    if (index >= slotCount()) {
        return -1;
    }
    for (int i = index < 0 ? 0 : index + 1; i < slotCount(); ++i) {
        const SlotClass c = classifySlot(slot(i));
        if (c == SlotClass::Free || c == SlotClass::LongName) {
            continue;
        }
        if (c == SlotClass::EndMarker) {
            return -1;
        }
        return i;
    }
    return -1;
}

bool FatDirectory::isDirectory(int index) const {
    return isInUse(index) && (slot(index)[entry::kAttribute] & entry::kAttrDirectory) != 0;
}

bool FatDirectory::isFile(int index) const {
    return isInUse(index) && (slot(index)[entry::kAttribute] &
                              (entry::kAttrDirectory | entry::kAttrVolumeLabel)) == 0;
}

bool FatDirectory::setEntryChain(int index, uint32_t cluster, uint32_t size) {
    const ByteBuffer before = entries_;
    writeLe16(slotAt(index) + entry::kFirstCluster, static_cast<uint16_t>(cluster));
    writeLe32(slotAt(index) + entry::kSize, size);
    if (writeChangedSectors()) {
        return true;
    }
    restoreTable(before, appendPos_, lastCluster_);
    return false;
}

bool FatDirectory::removeEntry(int index) {
    if (!isInUse(index)) {
        return false;
    }
    const FatCheckpoint fatBefore = volume_->checkpoint();
    const ByteBuffer before = entries_;
    // This directory counts as being removed from, so an entry that leads back into it
    // (a damaged image) never frees the storage that this very table lives in.
    std::vector<uint32_t> visited{firstCluster_};
    std::vector<std::unique_ptr<FatDirectory>> emptied;
    if (!markRemoved(index, visited, emptied)) {
        entries_ = before;
        volume_->rollBack(fatBefore);  // nothing was written: this changes memory only
        return false;
    }
    // The entry goes first, and the whole tree below it with it; then the tables below,
    // now in clusters that no entry reaches; the chains are freed last. An interruption
    // leaves the old tree, or the new one and clusters that nothing uses.
    std::vector<ByteBuffer> emptiedBefore;
    try {
        for (const auto& table : emptied) {
            emptiedBefore.push_back(table->entriesOnImage_);
        }
    } catch (const std::bad_alloc&) {
        entries_ = before;
        volume_->rollBack(fatBefore);
        return false;
    }
    bool written = writeChangedSectors();
    for (size_t i = 0; written && i < emptied.size(); ++i) {
        written = emptied[i]->writeChangedSectors();
    }
    if (written && volume_->flushFat()) {
        return true;
    }
    // Put back in the reverse order: the chains, the tables below, then the entry.
    volume_->rollBack(fatBefore);
    for (size_t i = emptied.size(); i-- > 0;) {
        FatDirectory& table = *emptied[i];
        table.restoreTable(emptiedBefore[i], table.appendPos_, table.lastCluster_);
    }
    restoreTable(before, appendPos_, lastCluster_);
    return false;
}

bool FatDirectory::markRemoved(int index, std::vector<uint32_t>& visited,
                               std::vector<std::unique_ptr<FatDirectory>>& emptied) {
    if (!isInUse(index)) {
        return false;
    }
    uint8_t* e = slotAt(index);
    const uint32_t first = entryFirstCluster(e);
    // Only a chain of real data clusters is ever released: an entry pointing at 0, 1 or
    // past the data area (a damaged image) owns no chain.
    bool releaseChain = volume_->isDataCluster(first);
    if ((e[entry::kAttribute] & entry::kAttrDirectory) != 0) {
        if (isDotEntry(e)) {
            return true;
        }
        const bool alreadyVisited =
            std::find(visited.begin(), visited.end(), first) != visited.end();
        if (alreadyVisited) {
            // A directory that contains one of its own ancestors, or one reached twice:
            // that chain is released through the first entry that reached it.
            releaseChain = false;
        } else if (releaseChain && !markContentsRemoved(index, visited, emptied)) {
            return false;
        }
    }

    e = slotAt(index);
    e[entry::kName] = entry::kFreeMarker;
    // The long-name slots in front of the entry go with it.
    for (int i = index - 1; i >= 0; --i) {
        uint8_t* lfn = slotAt(i);
        if (classifySlot(lfn) != SlotClass::LongName) {
            break;
        }
        const bool lastOfSet = (lfn[entry::kName] & entry::kLongNameLastFlag) != 0;
        // Without the long-name attribute the freed slot is not taken for part of a name.
        lfn[entry::kAttribute] = entry::kAttrNone;
        lfn[entry::kName] = entry::kFreeMarker;
        if (lastOfSet) {
            break;
        }
    }
    if (releaseChain) {
        volume_->releaseChain(first);
    }
    return true;
}

bool FatDirectory::markContentsRemoved(int index, std::vector<uint32_t>& visited,
                                       std::vector<std::unique_ptr<FatDirectory>>& emptied) {
    std::unique_ptr<FatDirectory> sub = openSubdirectory(index);
    if (!sub) {
        return false;
    }
    visited.push_back(sub->getFirstCluster());
    for (int i = sub->firstEntry(); i != -1; i = sub->nextEntry(i)) {
        if (!sub->markRemoved(i, visited, emptied)) {
            return false;
        }
    }
    try {
        emptied.push_back(std::move(sub));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::unique_ptr<FatDirectory> FatDirectory::openSubdirectory(int index) {
    if (!isDirectory(index)) {
        return nullptr;
    }
    const uint32_t first = entryFirstCluster(slot(index));
    std::unique_ptr<FatDirectory> dir;
    try {
        // A ".." that holds 0 refers to the root directory.
        if (first == 0) {
            dir = std::make_unique<FatRootDirectory>();
        } else {
            dir = std::make_unique<FatSubDirectory>();
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!dir->load(volume_, first)) {
        return nullptr;
    }
    return dir;
}

std::unique_ptr<Directory> FatDirectory::openDirectory(int index) {
    return openSubdirectory(index);
}

std::unique_ptr<File> FatDirectory::openFile(int index) {
    if (!isFile(index)) {
        return nullptr;
    }
    const uint8_t* e = slot(index);
    const uint32_t first = entryFirstCluster(e);
    std::unique_ptr<FatFile> file;
    try {
        file = std::make_unique<FatFile>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!file->open(volume_, this, index, first == 0 ? kFatEndOfChain : first, entryFileSize(e))) {
        return nullptr;
    }
    return file;
}

int FatDirectory::allocateSlot(Failure& failure) {
    // Freed slots are reused before the table is extended.
    for (int i = 0; i < appendPos_; ++i) {
        if (slot(i)[entry::kName] == entry::kFreeMarker) {
            return i;
        }
    }
    if (appendPos_ >= slotCount()) {
        failure = addCluster();
        if (failure != Failure::None) {
            return -1;
        }
    }
    return appendPos_++;
}

FatDirectory::Failure FatDirectory::addCluster() {
    if (lastCluster_ == 0 || entries_.size() >= kMaxDirectoryBytes) {
        return Failure::Refused;  // the root directory, a subdirectory without a chain, or full
    }
    if (volume_->reserveChain(lastCluster_, 1) == 0) {
        return Failure::Refused;
    }
    const uint32_t added = volume_->getFatEntry(lastCluster_);
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t spc = volume_->sectorsPerCluster();
    const size_t oldBytes = entries_.size();
    try {
        entries_.resize(oldBytes + static_cast<size_t>(spc) * bps, 0);
        entriesOnImage_.resize(entries_.size(), 0);
        sectorNumbers_.reserve(sectorNumbers_.size() + spc);
    } catch (const std::bad_alloc&) {
        return Failure::Refused;  // the caller puts the table and the FAT back
    }
    // The new cluster is zeroed on the image before the FAT links it to the table: a
    // slot of it that no entry is written into must read as an end marker.
    const uint32_t sector = volume_->clusterToSector(added);
    if (!volume_->writeSectors(sector, spc, entries_.data() + oldBytes)) {
        return Failure::WriteFailed;
    }
    appendPos_ = static_cast<int>(oldBytes / entry::kEntrySize);
    for (uint32_t j = 0; j < spc; ++j) {
        sectorNumbers_.push_back(sector + j);
    }
    lastCluster_ = added;
    return Failure::None;
}

bool FatDirectory::writeNewDirectoryCluster(uint32_t cluster) {
    const uint32_t bps = volume_->bytesPerSector();
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(bps) * volume_->sectorsPerCluster(), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint8_t dotName[entry::kNameFieldSize];
    std::memset(dotName, entry::kBlank, sizeof dotName);
    dotName[0] = '.';
    fillEntry(buffer.data(), dotName, entry::kAttrDirectory, static_cast<uint16_t>(cluster), 0);
    dotName[1] = '.';
    fillEntry(buffer.data() + entry::kEntrySize, dotName, entry::kAttrDirectory,
              static_cast<uint16_t>(firstCluster_), 0);
    return volume_->writeSectors(volume_->clusterToSector(cluster), volume_->sectorsPerCluster(),
                                 buffer.data());
}

bool FatDirectory::writeNewFileData(uint32_t firstCluster, const uint8_t* data, uint32_t size) {
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t spc = volume_->sectorsPerCluster();
    const uint32_t needed = static_cast<uint32_t>((static_cast<uint64_t>(size) + bps - 1) / bps);
    std::vector<uint32_t> sectors;
    try {
        sectors.reserve(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t cluster = firstCluster;
    for (uint32_t walked = 0; sectors.size() < needed && volume_->isDataCluster(cluster) &&
                              walked < volume_->maxChainLength();
         ++walked) {
        const uint32_t first = volume_->clusterToSector(cluster);
        for (uint32_t j = 0; j < spc && sectors.size() < needed; ++j) {
            sectors.push_back(first + j);
        }
        cluster = volume_->getFatEntry(cluster);
    }
    if (sectors.size() < needed) {
        return false;
    }
    // One write per run of sectors that follow each other on the image, straight from the
    // caller's bytes. The file's last sector keeps the image's bytes after the end of the
    // file (zeros where an image cut short has none), so it is the one sector read; it
    // travels with the end of its run through a small buffer.
    const uint32_t whole = size / bps;
    const uint32_t tailBytes = size % bps;
    for (uint32_t i = 0; i < needed;) {
        uint32_t end = i + 1;
        while (end < needed && sectors[end] == sectors[end - 1] + 1) {
            ++end;
        }
        const bool endsInTail = tailBytes != 0 && end == needed;
        const uint32_t staged = endsInTail ? std::min(end - 1 - i, kStagedSectors) : 0;
        const uint32_t direct = endsInTail ? end - 1 - i - staged : end - i;
        if (direct > 0 &&
            !volume_->writeSectors(sectors[i], direct, data + static_cast<size_t>(i) * bps)) {
            return false;
        }
        if (endsInTail) {
            const uint32_t stagedFirst = i + direct;
            ByteBuffer stage;
            try {
                stage.resize(static_cast<size_t>(staged + 1) * bps);
            } catch (const std::bad_alloc&) {
                return false;
            }
            uint8_t* tail = stage.data() + static_cast<size_t>(staged) * bps;
            if (!volume_->readSectorOrZeros(sectors[whole], tail)) {
                return false;
            }
            std::memcpy(stage.data(), data + static_cast<size_t>(stagedFirst) * bps,
                        static_cast<size_t>(staged) * bps + tailBytes);
            return volume_->writeSectors(sectors[stagedFirst], staged + 1, stage.data());
        }
        i = end;
    }
    return true;
}

int FatDirectory::createEntry(const char* name, const NewContent& content, Failure& failure) {
    failure = Failure::Refused;
    uint8_t field[entry::kNameFieldSize];
    toShortName(field, name);
    if (!isCreatableName(name, field)) {
        return -1;
    }
    const FatCheckpoint fatBefore = volume_->checkpoint();
    const int appendPosBefore = appendPos_;
    const uint32_t lastClusterBefore = lastCluster_;
    ByteBuffer before;
    try {
        before = entries_;
    } catch (const std::bad_alloc&) {
        return -1;
    }
    // Puts everything back: the table and its sectors first, then the FAT, so that an
    // interruption of the undo leaves no entry pointing at a free cluster.
    auto undo = [&](Failure why) {
        restoreTable(before, appendPosBefore, lastClusterBefore);
        volume_->rollBack(fatBefore);
        failure = why;
        return -1;
    };
    Failure slotFailure = Failure::None;
    const int index = allocateSlot(slotFailure);
    if (index < 0) {
        return undo(slotFailure);
    }
    const uint64_t clusterBytes = volume_->bytesPerCluster();
    const uint64_t count = (content.allocationBytes + clusterBytes - 1) / clusterBytes;
    uint32_t first = 0;
    if (count > 0) {
        first = volume_->reserveChain(0, static_cast<uint32_t>(count));
        if (first == 0) {
            if (lastCluster_ == lastClusterBefore) {
                return undo(Failure::Refused);
            }
            // The table grew into a zeroed cluster before the clusters ran out: it keeps
            // that cluster for the next entry, and only the slot is given back.
            appendPos_ = index;
            if (!volume_->flushFat()) {
                return undo(Failure::WriteFailed);
            }
            return -1;
        }
    }
    // What the entry will point at reaches the image first, then the FAT that links it,
    // then the entry itself.
    bool stored = true;
    if ((content.attribute & entry::kAttrDirectory) != 0) {
        stored = writeNewDirectoryCluster(first);
    } else if (content.data != nullptr && content.sizeField > 0) {
        stored = writeNewFileData(first, content.data, content.sizeField);
    }
    if (!stored || !volume_->flushFat()) {
        return undo(Failure::WriteFailed);
    }
    fillEntry(slotAt(index), field, content.attribute, static_cast<uint16_t>(first),
              content.sizeField);
    if (!writeChangedSectors()) {
        return undo(Failure::WriteFailed);
    }
    failure = Failure::None;
    return index;
}

int FatDirectory::createFile(const char* name, uint32_t size) {
    Failure failure = Failure::None;
    NewContent content;
    content.attribute = entry::kAttrNone;
    content.allocationBytes = size;
    content.sizeField = size;
    return createEntry(name, content, failure);
}

Directory::CreateOutcome FatDirectory::createFileWithData(const char* name, const uint8_t* data,
                                                          uint32_t size) {
    Failure failure = Failure::None;
    NewContent content;
    content.attribute = entry::kAttrNone;
    content.allocationBytes = size;
    content.sizeField = size;
    content.data = data;
    if (createEntry(name, content, failure) >= 0) {
        return CreateOutcome::Created;
    }
    return failure == Failure::WriteFailed ? CreateOutcome::WriteFailed : CreateOutcome::Refused;
}

int FatDirectory::createDirectory(const char* name) {
    Failure failure = Failure::None;
    NewContent content;
    content.attribute = entry::kAttrDirectory;
    content.allocationBytes = volume_->bytesPerCluster();
    return createEntry(name, content, failure);
}

bool FatRootDirectory::load(FatVolume* volume, uint32_t /*firstCluster*/) {
    const uint32_t bps = volume->bytesPerSector();
    const uint32_t start = volume->rootDirSector();
    const uint32_t n = volume->rootDirSectors();
    ByteBuffer table;
    std::vector<uint32_t> sectors;
    if (!volume->imageHolds((static_cast<uint64_t>(start) + n) * bps)) {
        return false;
    }
    try {
        table.resize(static_cast<size_t>(n) * bps);
        sectors.resize(n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!volume->readSectors(start, n, table.data())) {
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        sectors[i] = start + i;
    }
    adoptTable(volume, 0, 0, std::move(table), std::move(sectors));
    return true;
}

bool FatSubDirectory::load(FatVolume* volume, uint32_t firstCluster) {
    // A first cluster that names no data cluster (0xFFF, or 1 in a damaged image) is an
    // empty directory that cannot grow.
    if (!volume->isDataCluster(firstCluster)) {
        adoptTable(volume, firstCluster, 0, {}, {});
        return true;
    }
    ChainBlock chain;
    const uint32_t maxClusters =
        (kMaxDirectoryBytes + volume->bytesPerCluster() - 1) / volume->bytesPerCluster();
    if (!volume->loadChain(firstCluster, 224, 224, chain, maxClusters)) {
        return false;
    }
    // A chain that runs on past the most entries a directory holds is not grown further.
    const bool whole = !volume->isDataCluster(volume->getFatEntry(chain.lastCluster));
    adoptTable(volume, firstCluster, whole ? chain.lastCluster : 0, std::move(chain.data),
               std::move(chain.sectors));
    return true;
}

}  // namespace fat12img
