#include "directory/fat_directory.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "file/fat_file.hpp"
#include "volume/byte_order.hpp"
#include "volume/fat12_entry.hpp"

namespace fat12img {

void FatDirectory::adoptTable(FatVolume* volume, uint32_t firstCluster, uint32_t lastCluster,
                              std::vector<uint8_t> entries, std::vector<uint32_t> sectorNumbers) {
    volume_ = volume;
    firstCluster_ = firstCluster;
    lastCluster_ = lastCluster;
    entries_ = std::move(entries);
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

void FatDirectory::writeTableSector(uint32_t tableSector) {
    const uint32_t bps = volume_->bytesPerSector();
    volume_->writeSector(sectorNumbers_[tableSector], entries_.data() + tableSector * bps);
}

void FatDirectory::writeEntrySector(int index) {
    writeTableSector(index * entry::kEntrySize / volume_->bytesPerSector());
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

bool FatDirectory::setEntrySize(int index, uint32_t size) {
    writeLe32(slotAt(index) + entry::kSize, size);
    writeEntrySector(index);
    return true;
}

bool FatDirectory::setEntryFirstCluster(int index, uint32_t cluster) {
    writeLe16(slotAt(index) + entry::kFirstCluster, static_cast<uint16_t>(cluster));
    writeEntrySector(index);
    return true;
}

bool FatDirectory::removeEntry(int index) {
    // This directory counts as being removed from, so an entry that leads back into it
    // (a damaged image) never frees the storage that this very table lives in.
    std::vector<uint32_t> removing{firstCluster_};
    return removeEntryGuarded(index, removing);
}

bool FatDirectory::removeEntryGuarded(int index, std::vector<uint32_t>& removing) {
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
        const bool alreadyRemoving =
            std::find(removing.begin(), removing.end(), first) != removing.end();
        if (alreadyRemoving) {
            // A directory that contains one of its own ancestors: that chain is released
            // by the ancestor's own entry, not again through this one.
            releaseChain = false;
        } else if (releaseChain && !removeContents(index, removing)) {
            return false;
        }
    }

    e = slotAt(index);
    e[entry::kName] = entry::kFreeMarker;
    const uint32_t bps = volume_->bytesPerSector();
    uint32_t sector = index * entry::kEntrySize / bps;
    // The long-name slots in front of the entry go with it.
    for (int i = index - 1; i >= 0; --i) {
        uint8_t* lfn = slotAt(i);
        if (classifySlot(lfn) != SlotClass::LongName) {
            break;
        }
        const uint32_t lfnSector = i * entry::kEntrySize / bps;
        if (lfnSector != sector) {
            writeTableSector(sector);
            sector = lfnSector;
        }
        const bool lastOfSet = (lfn[entry::kName] & entry::kLongNameLastFlag) != 0;
        lfn[entry::kAttribute] = 0;
        lfn[entry::kName] = entry::kFreeMarker;
        if (lastOfSet) {
            break;
        }
    }
    writeTableSector(sector);

    if (releaseChain) {
        volume_->freeChain(first);
    }
    return true;
}

bool FatDirectory::removeContents(int index, std::vector<uint32_t>& removing) {
    std::unique_ptr<FatDirectory> sub = openSubdirectory(index);
    if (!sub) {
        return false;
    }
    removing.push_back(sub->getFirstCluster());
    bool all = true;
    for (int i = sub->firstEntry(); i != -1; i = sub->nextEntry(i)) {
        if (!sub->removeEntryGuarded(i, removing)) {
            all = false;
        }
    }
    removing.pop_back();
    return all;
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

int FatDirectory::allocateSlot() {
    // Freed slots are reused before the table is extended.
    for (int i = 0; i < appendPos_; ++i) {
        if (slot(i)[entry::kName] == entry::kFreeMarker) {
            return i;
        }
    }
    if (appendPos_ >= slotCount() && !addCluster()) {
        return -1;
    }
    return appendPos_++;
}

bool FatDirectory::addCluster() {
    if (lastCluster_ == 0) {
        return false;  // the root directory, or a subdirectory without a chain
    }
    if (volume_->allocateChain(lastCluster_, 1) == 0) {
        return false;
    }
    const uint32_t added = volume_->getFatEntry(lastCluster_);
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t spc = volume_->sectorsPerCluster();
    try {
        entries_.resize(entries_.size() + static_cast<size_t>(spc) * bps, 0);
        sectorNumbers_.reserve(sectorNumbers_.size() + spc);
    } catch (const std::bad_alloc&) {
        entries_.resize(sectorNumbers_.size() * bps);
        volume_->freeChain(added);
        volume_->markEndOfChain(lastCluster_);
        return false;
    }
    const uint32_t firstNewSector = static_cast<uint32_t>(sectorNumbers_.size());
    appendPos_ = static_cast<int>(firstNewSector * bps / entry::kEntrySize);
    const uint32_t sector = volume_->clusterToSector(added);
    for (uint32_t j = 0; j < spc; ++j) {
        sectorNumbers_.push_back(sector + j);
    }
    lastCluster_ = added;
    // The new cluster is zeroed on the image at once: a slot of it that no entry is
    // written into must still read as an end marker.
    for (uint32_t j = 0; j < spc; ++j) {
        writeTableSector(firstNewSector + j);
    }
    return true;
}

int FatDirectory::createEntry(const char* name, uint32_t allocationBytes, uint8_t attribute,
                              uint32_t sizeField) {
    uint8_t field[entry::kNameFieldSize];
    toShortName(field, name);
    if (name[0] == '\0' || !isCreatableShortName(field)) {
        return -1;
    }
    const int previousAppendPos = appendPos_;
    const int index = allocateSlot();
    if (index < 0) {
        return -1;
    }
    const uint64_t clusterBytes = volume_->bytesPerCluster();
    const uint64_t count = (allocationBytes + clusterBytes - 1) / clusterBytes;
    uint32_t first = 0;
    if (count > 0) {
        first = volume_->allocateChain(0, static_cast<uint32_t>(count));
        if (first == 0) {
            // Give an appended slot back, so no all-zero slot is left in front of later
            // entries.
            if (index >= previousAppendPos) {
                appendPos_ = index;
            }
            return -1;
        }
    }
    fillEntry(slotAt(index), field, attribute, static_cast<uint16_t>(first), sizeField);
    writeEntrySector(index);
    return index;
}

int FatDirectory::createFile(const char* name, uint32_t size) {
    return createEntry(name, size, 0x00, size);
}

int FatDirectory::createDirectory(const char* name) {
    const uint32_t bps = volume_->bytesPerSector();
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(bps, 0);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    const int index = createEntry(name, volume_->bytesPerCluster(), entry::kAttrDirectory, 0);
    if (index < 0) {
        return -1;
    }
    const uint32_t cluster = entryFirstCluster(slot(index));
    uint8_t dotName[entry::kNameFieldSize];
    std::memset(dotName, entry::kBlank, sizeof dotName);
    dotName[0] = '.';
    fillEntry(buffer.data(), dotName, entry::kAttrDirectory, static_cast<uint16_t>(cluster), 0);
    dotName[1] = '.';
    fillEntry(buffer.data() + entry::kEntrySize, dotName, entry::kAttrDirectory,
              static_cast<uint16_t>(firstCluster_), 0);
    const uint32_t firstSector = volume_->clusterToSector(cluster);
    volume_->writeSector(firstSector, buffer.data());
    std::fill(buffer.begin(), buffer.end(), 0);
    for (uint32_t j = 1; j < volume_->sectorsPerCluster(); ++j) {
        volume_->writeSector(firstSector + j, buffer.data());
    }
    return index;
}

bool FatRootDirectory::load(FatVolume* volume, uint32_t /*firstCluster*/) {
    const uint32_t bps = volume->bytesPerSector();
    const uint32_t start = volume->rootDirSector();
    const uint32_t n = volume->rootDirSectors();
    std::vector<uint8_t> table;
    std::vector<uint32_t> sectors;
    try {
        table.resize(static_cast<size_t>(n) * bps);
        sectors.resize(n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!volume->readSector(start + i, table.data() + i * bps)) {
            return false;
        }
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
    if (!volume->loadChain(firstCluster, 224, 224, chain)) {
        return false;
    }
    adoptTable(volume, firstCluster, chain.lastCluster, std::move(chain.data),
               std::move(chain.sectors));
    return true;
}

}  // namespace fat12img
