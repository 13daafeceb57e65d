#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "volume/byte_buffer.hpp"

namespace fat12img {

class FatVolume;

// Sectors of the image with the bytes they held before an operation wrote them, in the
// order they were first written.
class SectorJournal {
  public:
    bool holds(uint32_t sector) const { return where_.count(sector) != 0; }
    // Keeps the bytes once per sector; false when memory runs out.
    bool keep(uint32_t sector, const uint8_t* bytes, uint32_t bytesPerSector);
    // Copies what the journal holds of sectors first .. first + count - 1 over `buffer`.
    void overlay(uint32_t first, uint32_t count, uint8_t* buffer, uint32_t bytesPerSector) const;
    // Writes the kept bytes back, the last sector first, runs of adjacent sectors in one
    // write; what could not be written stays in the journal.
    bool writeBack(FatVolume& volume);
    bool empty() const { return sectors_.empty(); }
    void clear();

  private:
    std::vector<uint32_t> sectors_;
    ByteBuffer bytes_;
    std::map<uint32_t, size_t> where_;  // sector -> its place in sectors_
};

// Something in memory that an operation changes beside the image: it is told when the
// operation ends, so that it can put itself back when the operation failed.
class TransactionParticipant {
  public:
    virtual void transactionEnded(bool committed) = 0;

  protected:
    ~TransactionParticipant() = default;
};

// One operation on the image, all or nothing. While it runs, every sector written through
// the volume has the bytes it held before recorded, once, the first time it is written,
// except sectors of clusters that were free when it began: the FAT as it stood frees them
// again. commit() keeps what was written. Ending without commit() writes the old bytes back,
// the last written first, and puts back the in-memory FAT and everything that joined. An
// operation that starts while another runs becomes part of it.
//
// The order of the forward writes is each operation's own: it is what leaves the old or
// the new tree wherever the process ends. Where that order needs one write on the disk
// before the next, the operation calls FatVolume::barrier().
class Transaction {
  public:
    explicit Transaction(FatVolume& volume);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Puts `participant` back with the rest if the operation fails; it must leave() if it
    // goes away first.
    void join(TransactionParticipant& participant);
    void leave(TransactionParticipant& participant);
    // False when what was written cannot be made to last; the operation has then failed.
    bool commit();

  private:
    friend class FatVolume;
    // Keeps what the image holds of these sectors before they are written: `before`, or
    // the image's own bytes when the caller has none. False when that cannot be had.
    bool recordBefore(uint32_t first, uint32_t count, const uint8_t* before);
    bool wasFreeAtStart(uint32_t sector) const;
    void undo();

    FatVolume& volume_;
    Transaction* outer_ = nullptr;  // the operation this one is part of
    bool committed_ = false;
    std::vector<uint8_t> fatInMemory_;
    std::vector<uint8_t> fatOnImage_;
    SectorJournal journal_;
    std::vector<TransactionParticipant*> participants_;
};

}  // namespace fat12img
