#include "directory/fat_directory.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "file/fat_file.hpp"
#include "file/file_data.hpp"
#include "volume/byte_order.hpp"
#include "volume/fat12_entry.hpp"

namespace fat12img {

FatDirectory::~FatDirectory() {
    if (atStart_ && volume_->transaction() != nullptr) {
        volume_->transaction()->leave(*this);
    }
}

void FatDirectory::adoptTable(FatVolume* volume, uint32_t firstCluster, uint32_t lastCluster,
                              ByteBuffer entries, std::vector<uint32_t> sectorNumbers) {
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

bool FatDirectory::beginChange(Transaction& operation) {
    if (atStart_) {
        return true;
    }
    try {
        atStart_ = TableAtStart{entries_,    appendPos_, lastCluster_, sectorNumbers_.size(),
                                unreadFrom_, walked_};
    } catch (const std::bad_alloc&) {
        return false;
    }
    operation.join(*this);
    return true;
}

void FatDirectory::transactionEnded(bool committed) {
    if (!committed) {
        // Sectors added since hold zeros in a cluster that the FAT gives back.
        entries_ = std::move(atStart_->entries);
        appendPos_ = atStart_->appendPos;
        lastCluster_ = atStart_->lastCluster;
        sectorNumbers_.resize(atStart_->sectorCount);
        unreadFrom_ = atStart_->unreadFrom;
        walked_ = atStart_->walked;
    }
    atStart_.reset();
}

bool FatDirectory::writeChangedSectors() {
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t count = static_cast<uint32_t>(sectorNumbers_.size());
    const uint32_t held = static_cast<uint32_t>(atStart_->sectorCount);
    // A sector the table grew by was zeroed on the image when it was added.
    const ByteBuffer zeros(bps, 0);
    auto before = [&](uint32_t i) {
        return i < held ? atStart_->entries.data() + static_cast<size_t>(i) * bps : zeros.data();
    };
    auto changed = [&](uint32_t i) {
        return std::memcmp(entries_.data() + static_cast<size_t>(i) * bps, before(i), bps) != 0;
    };
    for (uint32_t i = 0; i < count;) {
        if (!changed(i)) {
            ++i;
            continue;
        }
        // Changed sectors that follow each other on the image travel in one write.
        uint32_t end = i + 1;
        while (end < count && (end < held) == (i < held) && changed(end) &&
               sectorNumbers_[end] == sectorNumbers_[end - 1] + 1) {
            ++end;
        }
        const uint8_t* old = i < held ? before(i) : nullptr;
        if (!volume_->writeSectors(sectorNumbers_[i], end - i,
                                   entries_.data() + static_cast<size_t>(i) * bps, old)) {
            return false;
        }
        i = end;
    }
    return true;
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

// What a removal changes in the tables it empties, each image sector once however many of
// them share it (a damaged image may cross-link their chains): what the image holds there
// and what it is to hold. A table is read, emptied into this record and let go before the
// next is read, so memory stays within a few times the image, whatever its tables claim.
class FatDirectory::Removal {
  public:
    explicit Removal(const FatVolume& volume)
        : bps_(volume.bytesPerSector()), visited_(volume.clusterLimit(), false) {}

    // Whether the directory at `cluster` is to be emptied: true once per directory.
    bool firstVisit(uint32_t cluster) {
        if (cluster >= visited_.size() || visited_[cluster]) {
            return false;
        }
        visited_[cluster] = true;
        return true;
    }
    bool queue(uint32_t cluster) { return append(queued_, cluster); }
    // Chains are freed once every table is read: a table's own chain must still be there.
    bool release(uint32_t cluster) { return append(released_, cluster); }
    void releaseChains(FatVolume& volume) const {
        for (uint32_t cluster : released_) {
            volume.releaseChain(cluster);
        }
    }
    std::optional<uint32_t> next() {
        if (queued_.empty()) {
            return std::nullopt;
        }
        const uint32_t cluster = queued_.back();
        queued_.pop_back();
        return cluster;
    }

    // A table sector about to be changed: what it holds now is what the image holds.
    bool keepBefore(uint32_t sector, const uint8_t* bytes) {
        if (where_.count(sector) != 0) {
            return true;
        }
        try {
            where_.emplace(sector, before_.size() / bps_);
            before_.insert(before_.end(), bytes, bytes + bps_);
            after_.insert(after_.end(), bytes, bytes + bps_);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    void setAfter(uint32_t sector, const uint8_t* bytes) {
        std::memcpy(after_.data() + where_.at(sector) * bps_, bytes, bps_);
    }
    // Shows a table what earlier tables of this removal changed in the sectors it shares.
    void overlay(uint32_t sector, uint8_t* bytes) const {
        const auto it = where_.find(sector);
        if (it != where_.end()) {
            std::memcpy(bytes, after_.data() + it->second * bps_, bps_);
        }
    }

    // Writes the changed sectors that `wanted` picks, in ascending order, adjacent ones in
    // one write.
    template <typename Pick>
    bool write(FatVolume& volume, Pick wanted) {
        ByteBuffer now;
        ByteBuffer old;
        for (auto it = where_.begin(); it != where_.end();) {
            if (!wanted(it->first)) {
                ++it;
                continue;
            }
            const uint32_t first = it->first;
            now.clear();
            old.clear();
            uint32_t count = 0;
            for (; it != where_.end() && it->first == first + count && wanted(it->first);
                 ++it, ++count) {
                const size_t at = it->second * bps_;
                try {
                    now.insert(now.end(), after_.begin() + long(at),
                               after_.begin() + long(at + bps_));
                    old.insert(old.end(), before_.begin() + long(at),
                               before_.begin() + long(at + bps_));
                } catch (const std::bad_alloc&) {
                    return false;
                }
            }
            if (!volume.writeSectors(first, count, now.data(), old.data())) {
                return false;
            }
        }
        return true;
    }

  private:
    static bool append(std::vector<uint32_t>& list, uint32_t cluster) {
        try {
            list.push_back(cluster);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    uint32_t bps_;
    std::vector<bool> visited_;
    std::vector<uint32_t> queued_;
    std::vector<uint32_t> released_;
    std::map<uint32_t, size_t> where_;  // image sector -> its place in before_ and after_
    ByteBuffer before_;
    ByteBuffer after_;
};

bool FatDirectory::removeEntry(int index) {
    if (!isInUse(index)) {
        return false;
    }
    Transaction operation(*volume_);
    if (!beginChange(operation)) {
        return false;
    }
    Removal removal(*volume_);
    // This directory counts as being removed from, so an entry that leads back into it
    // (a damaged image) never frees the storage that this very table lives in.
    removal.firstVisit(firstCluster_);
    if (!markRemoved(index, removal)) {
        return false;
    }
    // Every directory below is read and emptied before anything is written.
    for (std::optional<uint32_t> cluster = removal.next(); cluster; cluster = removal.next()) {
        FatSubDirectory table;
        if (!table.load(volume_, *cluster)) {
            return false;
        }
        const uint32_t bps = volume_->bytesPerSector();
        for (size_t k = 0; k < table.sectorNumbers_.size(); ++k) {
            removal.overlay(table.sectorNumbers_[k], table.entries_.data() + k * bps);
        }
        for (int i = table.firstEntry(); i != -1; i = table.nextEntry(i)) {
            if (!table.markRemoved(i, removal)) {
                return false;
            }
        }
    }
    removal.releaseChains(*volume_);
    // The entry goes first, and the whole tree below it with it; then the tables below,
    // now in clusters that no entry reaches; the chains are freed last. An interruption
    // leaves the old tree, or the new one and clusters that nothing uses.
    std::vector<uint32_t> own = sectorNumbers_;
    std::sort(own.begin(), own.end());
    auto isOwn = [&own](uint32_t sector) {
        return std::binary_search(own.begin(), own.end(), sector);
    };
    const bool written =
        removal.write(*volume_, isOwn) && volume_->barrier() &&
        removal.write(*volume_, [&isOwn](uint32_t sector) { return !isOwn(sector); }) &&
        volume_->flushFat() && operation.commit();
    if (written) {
        // A table below may share a sector with this one.
        const uint32_t bps = volume_->bytesPerSector();
        for (size_t k = 0; k < sectorNumbers_.size(); ++k) {
            removal.overlay(sectorNumbers_[k], entries_.data() + k * bps);
        }
    }
    return written;
}

bool FatDirectory::markRemoved(int index, Removal& removal) {
    uint8_t* e = slotAt(index);
    const uint32_t first = entryFirstCluster(e);
    // Only a chain of real data clusters is ever released: an entry pointing at 0, 1 or
    // past the data area (a damaged image) owns no chain.
    bool releaseChain = volume_->isDataCluster(first);
    if ((e[entry::kAttribute] & entry::kAttrDirectory) != 0) {
        if (isDotEntry(e)) {
            return true;
        }
        if (!releaseChain) {
            // Nothing to empty.
        } else if (!removal.firstVisit(first)) {
            // A directory that contains one of its own ancestors, or one reached twice:
            // that chain is released through the first entry that reached it.
            releaseChain = false;
        } else if (!removal.queue(first)) {
            return false;
        }
    }
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t slotsPerSector = bps / entry::kEntrySize;
    // Every sector this changes is kept as it was first, then as it becomes.
    std::vector<uint32_t> touched;
    auto change = [&](int i) {
        const uint32_t k = static_cast<uint32_t>(i) / slotsPerSector;
        if (std::find(touched.begin(), touched.end(), k) == touched.end()) {
            touched.push_back(k);
            return removal.keepBefore(sectorNumbers_[k], entries_.data() + size_t(k) * bps);
        }
        return true;
    };
    if (!change(index)) {
        return false;
    }
    e[entry::kName] = entry::kFreeMarker;
    // The long-name slots in front of the entry go with it.
    for (int i = index - 1; i >= 0; --i) {
        uint8_t* lfn = slotAt(i);
        if (classifySlot(lfn) != SlotClass::LongName) {
            break;
        }
        if (!change(i)) {
            return false;
        }
        const bool lastOfSet = (lfn[entry::kName] & entry::kLongNameLastFlag) != 0;
        // Without the long-name attribute the freed slot is not taken for part of a name.
        lfn[entry::kAttribute] = entry::kAttrNone;
        lfn[entry::kName] = entry::kFreeMarker;
        if (lastOfSet) {
            break;
        }
    }
    for (uint32_t k : touched) {
        removal.setAfter(sectorNumbers_[k], entries_.data() + size_t(k) * bps);
    }
    return !releaseChain || removal.release(first);
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
    if (!file->open(volume_, first == 0 ? kFatEndOfChain : first, entryFileSize(e))) {
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
    // The slots of the chain not read yet come before a new cluster.
    if (appendPos_ >= slotCount() && unreadFrom_ != 0 && !readTable(unreadFrom_, walked_, false)) {
        failure = Failure::WriteFailed;
        return -1;
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
        sectorNumbers_.reserve(sectorNumbers_.size() + spc);
    } catch (const std::bad_alloc&) {
        return Failure::Refused;  // the operation puts the table and the FAT back
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

bool FatDirectory::storeTableAndFat() {
    // New content in free clusters is reachable only through the entry still to come, so
    // it may reach the disk together with the FAT; a cluster this table grew by is
    // reachable as soon as the FAT links it, so its zeros must be there first.
    const bool grew = lastCluster_ != atStart_->lastCluster;
    return (!grew || volume_->barrier()) && volume_->flushFat();
}

int FatDirectory::createEntry(const char* name, const NewContent& content, Failure& failure) {
    failure = Failure::Refused;
    uint8_t field[entry::kNameFieldSize];
    toShortName(field, name);
    if (!isCreatableName(name, field)) {
        return -1;
    }
    Transaction operation(*volume_);
    if (!beginChange(operation)) {
        return -1;
    }
    Failure slotFailure = Failure::None;
    const int index = allocateSlot(slotFailure);
    if (index < 0) {
        failure = slotFailure;
        return -1;
    }
    const uint64_t clusterBytes = volume_->bytesPerCluster();
    const uint64_t count = (content.allocationBytes + clusterBytes - 1) / clusterBytes;
    uint32_t first = 0;
    if (count > 0) {
        first = volume_->reserveChain(0, static_cast<uint32_t>(count));
        if (first == 0) {
            if (lastCluster_ == atStart_->lastCluster) {
                return -1;
            }
            // The table grew into a zeroed cluster before the clusters ran out: it keeps
            // that cluster for the next entry, and only the slot is given back.
            appendPos_ = index;
            if (!volume_->barrier() || !volume_->flushFat() || !operation.commit()) {
                failure = Failure::WriteFailed;
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
        stored = writeFileData(*volume_, first, content.sizeField, *content.data);
    }
    if (!stored || !storeTableAndFat()) {
        failure = Failure::WriteFailed;
        return -1;
    }
    fillEntry(slotAt(index), field, content.attribute, static_cast<uint16_t>(first),
              content.sizeField);
    if (!writeChangedSectors() || !operation.commit()) {
        failure = Failure::WriteFailed;
        return -1;
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

Directory::CreateOutcome FatDirectory::createFileWithData(const char* name, DataSource& data,
                                                          uint32_t size) {
    Failure failure = Failure::None;
    NewContent content;
    content.attribute = entry::kAttrNone;
    content.allocationBytes = size;
    content.sizeField = size;
    content.data = &data;
    if (createEntry(name, content, failure) >= 0) {
        return CreateOutcome::Created;
    }
    return failure == Failure::WriteFailed ? CreateOutcome::WriteFailed : CreateOutcome::Refused;
}

uint32_t FatDirectory::getEntryCluster(int index) const {
    return isInUse(index) ? entryFirstCluster(slot(index)) : 0;
}

uint32_t FatDirectory::getEntrySize(int index) const {
    return isInUse(index) ? entryFileSize(slot(index)) : 0;
}

bool FatDirectory::writeNewTable(const std::vector<NewEntry>& tree, size_t index,
                                 const std::vector<size_t>& entries, uint32_t clusters) {
    const NewEntry& dir = tree[index];
    const uint32_t cb = volume_->bytesPerCluster();
    ByteBuffer table;
    try {
        table.resize(static_cast<size_t>(clusters) * cb, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint8_t field[entry::kNameFieldSize];
    std::memset(field, entry::kBlank, sizeof field);
    field[0] = '.';
    fillEntry(table.data(), field, entry::kAttrDirectory, static_cast<uint16_t>(dir.firstCluster),
              0);
    field[1] = '.';
    const uint32_t parent = dir.parent < 0 ? firstCluster_ : tree[size_t(dir.parent)].firstCluster;
    fillEntry(table.data() + entry::kEntrySize, field, entry::kAttrDirectory,
              static_cast<uint16_t>(parent), 0);
    uint8_t* slotBytes = table.data() + 2 * entry::kEntrySize;
    for (size_t child : entries) {
        const NewEntry& e = tree[child];
        toShortName(field, e.name.c_str());
        fillEntry(slotBytes, field, e.directory ? entry::kAttrDirectory : entry::kAttrNone,
                  static_cast<uint16_t>(e.firstCluster), e.directory ? 0 : e.size);
        slotBytes += entry::kEntrySize;
    }
    // Clusters that follow each other on the image are written in one go.
    const uint32_t spc = volume_->sectorsPerCluster();
    uint32_t cluster = dir.firstCluster;
    for (uint32_t done = 0; done < clusters;) {
        uint32_t run = 1;
        uint32_t next = volume_->getFatEntry(cluster);
        while (done + run < clusters && next == cluster + run) {
            ++run;
            next = volume_->getFatEntry(next);
        }
        if (!volume_->writeSectors(volume_->clusterToSector(cluster), run * spc,
                                   table.data() + static_cast<size_t>(done) * cb)) {
            return false;
        }
        done += run;
        cluster = next;
    }
    return true;
}

Directory::CreateOutcome FatDirectory::createTree(std::vector<NewEntry>& tree, NewTreeData& data) {
    if (tree.empty() || tree[0].parent != -1) {
        return CreateOutcome::Refused;
    }
    // Every directory's entries, in the order they are created.
    std::vector<std::vector<size_t>> entriesOf(tree.size());
    for (size_t i = 0; i < tree.size(); ++i) {
        uint8_t field[entry::kNameFieldSize];
        toShortName(field, tree[i].name.c_str());
        if (!isCreatableName(tree[i].name.c_str(), field) ||
            (i > 0 && (tree[i].parent < 0 || size_t(tree[i].parent) >= i ||
                       !tree[size_t(tree[i].parent)].directory))) {
            return CreateOutcome::Refused;
        }
        if (i > 0) {
            entriesOf[size_t(tree[i].parent)].push_back(i);
        }
    }
    const uint64_t cb = volume_->bytesPerCluster();
    auto clustersOf = [&](size_t i) -> uint64_t {
        const uint64_t bytes = tree[i].directory
                                   ? (2 + entriesOf[i].size()) * uint64_t(entry::kEntrySize)
                                   : tree[i].size;
        return (bytes + cb - 1) / cb;
    };
    Transaction operation(*volume_);
    if (!beginChange(operation)) {
        return CreateOutcome::Refused;
    }
    Failure slotFailure = Failure::None;
    const int index = allocateSlot(slotFailure);
    if (index < 0) {
        return slotFailure == Failure::WriteFailed ? CreateOutcome::WriteFailed
                                                   : CreateOutcome::Refused;
    }
    uint64_t needed = 0;
    for (size_t i = 0; i < tree.size(); ++i) {
        needed += clustersOf(i);
    }
    if (needed > volume_->freeClusterCount()) {
        return CreateOutcome::Refused;
    }
    // Depth first, so that each directory's entries lie right behind its table.
    for (size_t i = 0; i < tree.size(); ++i) {
        const uint64_t clusters = clustersOf(i);
        tree[i].firstCluster =
            clusters == 0 ? 0 : volume_->reserveChain(0, static_cast<uint32_t>(clusters));
    }
    // Nothing of the tree is reachable until its one entry is written: the data and the
    // tables go to free clusters first, the FAT once, then the entry.
    for (size_t i = 0; i < tree.size(); ++i) {
        const NewEntry& e = tree[i];
        if (e.directory) {
            if (!writeNewTable(tree, i, entriesOf[i], static_cast<uint32_t>(clustersOf(i)))) {
                return CreateOutcome::WriteFailed;
            }
        } else if (e.size > 0) {
            std::unique_ptr<DataSource> source = data.open(i);
            if (!source) {
                return CreateOutcome::ReadFailed;
            }
            if (!writeFileData(*volume_, e.firstCluster, e.size, *source)) {
                return CreateOutcome::WriteFailed;
            }
        }
    }
    if (!storeTableAndFat()) {
        return CreateOutcome::WriteFailed;
    }
    uint8_t field[entry::kNameFieldSize];
    toShortName(field, tree[0].name.c_str());
    fillEntry(slotAt(index), field, tree[0].directory ? entry::kAttrDirectory : entry::kAttrNone,
              static_cast<uint16_t>(tree[0].firstCluster), tree[0].directory ? 0 : tree[0].size);
    if (!writeChangedSectors() || !operation.commit()) {
        return CreateOutcome::WriteFailed;
    }
    return CreateOutcome::Created;
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

namespace {

// The clusters of the longest table a chain may give: no more than a directory's 65536
// entries, and no more than the chain could have without a cycle.
uint32_t maxTableClusters(const FatVolume& volume) {
    const uint32_t entriesMax =
        (kMaxDirectoryBytes + volume.bytesPerCluster() - 1) / volume.bytesPerCluster();
    return std::min(volume.maxChainLength(), entriesMax);
}

}  // namespace

bool FatDirectory::readTable(uint32_t cluster, uint32_t walked, bool toEndMarker) {
    // Clusters are read in batches that double, so that an ordinary table takes one read.
    constexpr uint32_t kFirstBatch = 16;
    const uint32_t bps = volume_->bytesPerSector();
    const uint32_t spc = volume_->sectorsPerCluster();
    bool ended = false;
    const uint32_t walkLimit = maxTableClusters(*volume_);
    auto more = [&] { return !ended && volume_->isDataCluster(cluster) && walked < walkLimit; };
    try {
        for (uint32_t batch = kFirstBatch; more(); batch *= 2) {
            const size_t from = sectorNumbers_.size();
            for (uint32_t n = 0; n < batch && more(); ++n, ++walked) {
                for (uint32_t j = 0; j < spc; ++j) {
                    sectorNumbers_.push_back(volume_->clusterToSector(cluster) + j);
                }
                cluster = volume_->getFatEntry(cluster);
            }
            // A cycle repeats sectors: with large clusters a small image could claim gigabytes.
            if (!volume_->imageHolds(static_cast<uint64_t>(sectorNumbers_.size()) * bps)) {
                return false;
            }
            entries_.resize(sectorNumbers_.size() * bps);
            if (!volume_->readSectorList(sectorNumbers_.data() + from, sectorNumbers_.size() - from,
                                         entries_.data() + from * bps)) {
                return false;
            }
            for (size_t at = from * bps; toEndMarker && !ended && at < entries_.size();
                 at += entry::kEntrySize) {
                ended = classifySlot(entries_.data() + at) == SlotClass::EndMarker;
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    unreadFrom_ = volume_->isDataCluster(cluster) && walked < walkLimit ? cluster : 0;
    walked_ = walked;
    return true;
}

bool FatSubDirectory::load(FatVolume* volume, uint32_t firstCluster) {
    return loadChainTable(volume, firstCluster);
}

bool FatDirectory::loadChainTable(FatVolume* volume, uint32_t firstCluster) {
    // A first cluster that names no data cluster (0xFFF, or 1 in a damaged image) is an
    // empty directory that cannot grow.
    adoptTable(volume, firstCluster, 0, {}, {});
    if (!volume->isDataCluster(firstCluster) || !readTable(firstCluster, 0, true)) {
        return !volume->isDataCluster(firstCluster);
    }
    // The table grows behind the chain's last cluster, read or not; a chain that runs on past
    // the most entries a directory holds is not grown further.
    const uint32_t walkLimit = maxTableClusters(*volume);
    uint32_t last = firstCluster;
    uint32_t c = firstCluster;
    for (uint32_t walked = 0; volume->isDataCluster(c) && walked < walkLimit; ++walked) {
        last = c;
        c = volume->getFatEntry(c);
    }
    lastCluster_ = volume->isDataCluster(c) ? 0 : last;
    appendPos_ = findEndMarker();
    return true;
}

}  // namespace fat12img
