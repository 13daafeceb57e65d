// Writes the seed corpus of the two fuzz targets: small crafted images, well-formed and
// damaged, and typed sessions, typical and hostile.
//
//   make_corpus DIR    writes DIR/image/* and DIR/commands/*
//
// Image names say what the replay test expects of them: ok-* and bad-* mount in image
// operation mode, bin-* in binary mode, fail-* do not mount at all.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/image_builder.hpp"

using testimg::FloppyGeometry;

namespace {

constexpr uint8_t kFile = 0x00;
constexpr uint8_t kDir = 0x10;
constexpr uint8_t kLabel = 0x08;
constexpr uint8_t kLongName = 0x0F;

// "NAME.EXT" to the 11-byte field, always converted (a name of 11 characters too).
std::string field(const std::string& name) {
    const size_t dot = name.rfind('.');
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    base.resize(8, ' ');
    ext.resize(3, ' ');
    return base + ext;
}

FloppyGeometry geometry(uint16_t bps, uint8_t spc, uint16_t reserved, uint8_t fats,
                        uint16_t rootEntries, uint16_t total, uint16_t spf) {
    FloppyGeometry g;
    g.bytesPerSector = bps;
    g.sectorsPerCluster = spc;
    g.reservedSectors = reserved;
    g.numberOfFats = fats;
    g.rootEntries = rootEntries;
    g.totalSectors = total;
    g.sectorsPerFat = spf;
    return g;
}

// 24 sectors: 1 reserved, 2 FATs of 1 sector, 1 root sector of 16 entries, 20 clusters.
FloppyGeometry small() {
    return geometry(512, 1, 1, 2, 16, 24, 1);
}

// A volume under construction. Directory clusters are zeroed when made; the rest of the
// data area keeps the fill, as format leaves it.
struct Volume {
    FloppyGeometry g;
    std::vector<uint8_t> img;
    uint32_t nextCluster = 2;

    explicit Volume(const FloppyGeometry& geometry, uint8_t fill = 0xF8)
        : g(geometry), img(testimg::blankFloppy(geometry, fill)) {}

    size_t root(uint32_t index) const { return testimg::rootSlotOffset(g, index); }
    size_t slot(uint32_t cluster, uint32_t index) const {
        return testimg::clusterSlotOffset(g, cluster, index);
    }
    void entry(size_t at, const std::string& name, uint8_t attribute, uint16_t cluster,
               uint32_t size) {
        testimg::putEntry(img, at, field(name), attribute, cluster, size);
    }
    void rawEntry(size_t at, const std::string& field, uint8_t attribute, uint16_t cluster,
                  uint32_t size) {
        testimg::putEntry(img, at, field, attribute, cluster, size);
    }
    uint32_t take(uint32_t clusters) {
        const uint32_t first = nextCluster;
        std::vector<uint32_t> chain;
        for (uint32_t i = 0; i < clusters; ++i) {
            chain.push_back(nextCluster++);
        }
        testimg::setChain(img, g, chain);
        return first;
    }
    void zeroCluster(uint32_t cluster) {
        const size_t at = g.clusterOffset(cluster);
        std::fill(img.begin() + long(at), img.begin() + long(at + g.clusterBytes()), 0);
    }
    // A directory of one cluster with its dot entries.
    uint32_t makeDir(uint16_t parent) {
        const uint32_t cluster = take(1);
        dotEntries(cluster, parent);
        return cluster;
    }
    void dotEntries(uint32_t cluster, uint16_t parent) {
        zeroCluster(cluster);
        rawEntry(slot(cluster, 0), ".          ", kDir, uint16_t(cluster), 0);
        rawEntry(slot(cluster, 1), "..         ", kDir, parent, 0);
    }
    // A file of the given size in a new chain, its bytes a pattern.
    uint32_t makeFile(size_t at, const std::string& name, uint32_t size) {
        if (size == 0) {
            entry(at, name, kFile, 0, 0);
            return 0;
        }
        const uint32_t clusters = (size + g.clusterBytes() - 1) / g.clusterBytes();
        const uint32_t first = take(clusters);
        for (uint32_t i = 0; i < size; ++i) {
            const uint32_t c = first + i / g.clusterBytes();
            img[g.clusterOffset(c) + i % g.clusterBytes()] = uint8_t('a' + i % 26);
        }
        entry(at, name, kFile, uint16_t(first), size);
        return first;
    }
    void longName(size_t at, uint8_t sequence) {
        rawEntry(at, std::string("\x41l\0o\0n\0g\0n\0", 11), kLongName, 0, 0xFFFFFFFF);
        img[at] = sequence;
    }
    std::vector<uint8_t> sectors(uint32_t count) const {
        std::vector<uint8_t> out = img;
        out.resize(std::min(out.size(), size_t(count) * g.bytesPerSector));
        return out;
    }
};

// The common tree: a file over two clusters (where they are small), an empty file, a
// volume label, and a subdirectory holding a file and another subdirectory.
void populate(Volume& v) {
    v.makeFile(v.root(0), "HELLO.TXT", 600);
    const uint32_t sub = v.makeDir(0);
    v.entry(v.root(1), "SUB", kDir, uint16_t(sub), 0);
    v.entry(v.root(2), "EMPTY", kFile, 0, 0);
    v.entry(v.root(3), "FLOPPY", kLabel, 0, 0);
    v.makeFile(v.slot(sub, 2), "INNER.DAT", 100);
    const uint32_t deep = v.makeDir(uint16_t(sub));
    v.entry(v.slot(sub, 3), "DEEP", kDir, uint16_t(deep), 0);
    v.makeFile(v.slot(deep, 2), "LEAF", 10);
}

Volume populated(const FloppyGeometry& g) {
    Volume v(g);
    populate(v);
    return v;
}

// A boot sector alone: enough for the geometry checks, which run before the FAT is read.
std::vector<uint8_t> bootOnly(FloppyGeometry g, uint16_t bps) {
    Volume v(g);
    v.img[11] = uint8_t(bps);
    v.img[12] = uint8_t(bps >> 8);
    v.img.resize(512);
    return v.img;
}

std::vector<uint8_t> bootOnly(const FloppyGeometry& g) {
    return bootOnly(g, g.bytesPerSector);
}

struct Seed {
    std::string name;
    std::vector<uint8_t> bytes;
};

std::vector<Seed> wellFormed() {
    std::vector<Seed> seeds;
    seeds.push_back({"ok-512-spc1", populated(geometry(512, 1, 1, 2, 16, 32, 1)).img});
    seeds.push_back({"ok-512-spc2-res2-fat1", populated(geometry(512, 2, 2, 1, 32, 40, 1)).img});
    seeds.push_back({"ok-512-spc4", populated(geometry(512, 4, 1, 2, 16, 48, 1)).img});
    seeds.push_back({"ok-512-fats3", populated(geometry(512, 1, 1, 3, 16, 32, 1)).img});
    seeds.push_back({"ok-1024", populated(geometry(1024, 1, 1, 2, 32, 20, 1)).img});
    seeds.push_back({"ok-2048", populated(geometry(2048, 1, 1, 2, 64, 12, 1)).img});
    seeds.push_back({"ok-4096", populated(geometry(4096, 1, 1, 2, 128, 10, 1)).img});
    seeds.push_back({"ok-4096-spc2", populated(geometry(4096, 2, 1, 1, 128, 13, 1)).img});
    {
        // 64 KB clusters: only the first of four is in the file.
        Volume v(geometry(512, 128, 1, 1, 16, 3 + 128 * 4, 1));
        const uint32_t sub = v.makeDir(0);
        v.entry(v.root(0), "SUB", kDir, uint16_t(sub), 0);
        v.entry(v.slot(sub, 2), "EMPTY", kFile, 0, 0);
        v.entry(v.root(1), "AWAY.TXT", kFile, 3, 70000);
        testimg::setChain(v.img, v.g, {3, 4});
        seeds.push_back({"ok-512-spc128-truncated", v.sectors(3 + 128)});
    }
    {
        Volume v = populated(testimg::floppy144());
        seeds.push_back({"ok-floppy144-truncated", v.sectors(v.g.firstDataSector() + 8)});
    }
    {
        Volume v = populated(testimg::floppy720());
        seeds.push_back({"ok-floppy720-truncated", v.sectors(v.g.firstDataSector() + 10)});
    }
    {
        Volume v = populated(testimg::floppy288());
        seeds.push_back({"ok-floppy288-truncated", v.sectors(v.g.firstDataSector() + 10)});
    }
    {
        Volume v = populated(testimg::floppy1232());
        seeds.push_back({"ok-floppy1232-truncated", v.sectors(v.g.firstDataSector() + 6)});
    }
    {
        // 339 clusters: the entry of cluster 340 ends exactly at the end of the one FAT
        // sector.
        Volume v = populated(geometry(512, 1, 1, 1, 16, 3 + 339, 1));
        seeds.push_back({"ok-fat-exactly-big-enough", v.sectors(v.g.firstDataSector() + 8)});
    }
    {
        // clusterLimit 0xFF7: the most clusters a FAT12 volume may have.
        Volume v = populated(geometry(512, 1, 1, 2, 16, 26 + 0xFF5, 12));
        v.entry(v.root(4), "LAST.TXT", kFile, 0xFF6, 5);
        testimg::setChain(v.img, v.g, {0xFF6});
        seeds.push_back({"ok-cluster-limit-ff7", v.sectors(v.g.firstDataSector() + 8)});
    }
    {
        // One data sector and two sectors per cluster: no data cluster at all.
        Volume v(geometry(512, 2, 1, 1, 16, 4, 1));
        v.entry(v.root(0), "FILE.TXT", kFile, 2, 10);
        v.entry(v.root(1), "DIR", kDir, 2, 0);
        v.entry(v.root(2), "EMPTY", kFile, 0, 0);
        seeds.push_back({"ok-no-data-cluster", v.img});
    }
    {
        // 20 root entries: the partial second sector is not part of the root.
        Volume v(geometry(512, 1, 1, 2, 20, 24, 1));
        populate(v);
        seeds.push_back({"ok-root-20-entries", v.img});
    }
    {
        Volume v(geometry(512, 1, 1, 2, 0, 16, 1));
        seeds.push_back({"ok-root-no-entries", v.img});
    }
    {
        Volume v(small());
        for (uint32_t i = 0; i < 16; ++i) {
            v.entry(v.root(i), "F" + std::to_string(i), kFile, 0, 0);
        }
        seeds.push_back({"ok-root-full", v.img});
    }
    {
        Volume v(small());
        v.makeFile(v.root(0), "ALL.BIN", 20 * 512);
        seeds.push_back({"ok-disk-full", v.img});
    }
    {
        Volume v(geometry(512, 1, 1, 2, 16, 32, 1));
        uint16_t parent = 0;
        size_t at = v.root(0);
        for (int depth = 0; depth < 11; ++depth) {
            const uint32_t d = v.makeDir(parent);
            v.entry(at, "D" + std::to_string(depth), kDir, uint16_t(d), 0);
            at = v.slot(d, 2);
            parent = uint16_t(d);
        }
        v.makeFile(at, "BOTTOM.TXT", 3);
        seeds.push_back({"ok-deep-tree", v.img});
    }
    {
        // A subdirectory whose one-cluster table is full: the next entry grows it.
        Volume v(small());
        const uint32_t sub = v.makeDir(0);
        v.entry(v.root(0), "FULL", kDir, uint16_t(sub), 0);
        for (uint32_t i = 2; i < 16; ++i) {
            v.entry(v.slot(sub, i), "E" + std::to_string(i), kFile, 0, 0);
        }
        seeds.push_back({"ok-subdir-full", v.img});
    }
    {
        // A subdirectory table over three clusters out of order.
        Volume v(small());
        for (uint32_t c : {3u, 5u, 7u}) {
            v.zeroCluster(c);
        }
        testimg::setChain(v.img, v.g, {7, 3, 5});
        v.dotEntries(7, 0);
        v.entry(v.root(0), "SPREAD", kDir, 7, 0);
        for (uint32_t i = 2; i < 16; ++i) {
            v.entry(v.slot(7, i), "A" + std::to_string(i), kFile, 0, 0);
        }
        for (uint32_t i = 0; i < 16; ++i) {
            v.entry(v.slot(3, i), "B" + std::to_string(i), kFile, 0, 0);
        }
        v.entry(v.slot(5, 0), "C0", kFile, 0, 0);
        v.nextCluster = 8;
        v.makeFile(v.slot(5, 1), "C1.TXT", 700);
        seeds.push_back({"ok-subdir-three-clusters", v.img});
    }
    {
        // Long-name slots at the end of one table sector, their entry in the next, in the
        // root and across the cluster boundary of a subdirectory.
        Volume v(geometry(512, 1, 1, 2, 32, 40, 1));
        for (uint32_t i = 0; i < 14; ++i) {
            v.entry(v.root(i), "R" + std::to_string(i), kFile, 0, 0);
        }
        v.longName(v.root(14), 0x42);
        v.longName(v.root(15), 0x01);
        v.makeFile(v.root(16), "LONGNA~1.TXT", 40);
        v.zeroCluster(4);
        v.zeroCluster(5);
        testimg::setChain(v.img, v.g, {4, 5});
        v.dotEntries(4, 0);
        v.entry(v.root(17), "SUB", kDir, 4, 0);
        for (uint32_t i = 2; i < 15; ++i) {
            v.entry(v.slot(4, i), "S" + std::to_string(i), kFile, 0, 0);
        }
        v.longName(v.slot(4, 15), 0x41);
        v.entry(v.slot(5, 0), "SPLIT.TXT", kFile, 0, 0);
        seeds.push_back({"ok-long-names-at-sector-boundary", v.img});
    }
    {
        // Slots of every class and names of bytes the format allows.
        Volume v(geometry(512, 1, 1, 2, 32, 32, 1));
        v.entry(v.root(0), "KEEP.TXT", kFile, 0, 0);
        v.rawEntry(v.root(1),
                   "\xE5"
                   "GONE   TXT",
                   kFile, 0, 0);
        v.rawEntry(v.root(2),
                   "\x05"
                   "5NAME  TXT",
                   kFile, 0, 0);
        v.rawEntry(v.root(3), " BLANK  TXT", kFile, 0, 0);
        v.rawEntry(v.root(4), "lower   txt", kFile, 0, 0);
        v.rawEntry(v.root(5), "\x82\xA0\x82\xA2    TXT", kFile, 0, 0);
        v.rawEntry(v.root(6), "\x95\x5C\x8E\xA6    DAT", kFile, 0, 0);  // 0x5C as second byte
        v.rawEntry(v.root(7), "\xB1\xB2\xB3     TXT", kFile, 0, 0);
        v.rawEntry(v.root(8), "AB CD   TXT", kFile, 0, 0);
        v.rawEntry(v.root(9), "A.B     C  ", kFile, 0, 0);
        v.rawEntry(v.root(10), "VOLUME     ", kLabel, 0, 0);
        v.rawEntry(v.root(11), "DIRLABEL   ", kLabel | kDir, 0, 0);
        v.makeFile(v.root(12), "DATA.BIN", 300);
        // An end marker, and entries behind it that no lookup may find.
        v.rawEntry(v.root(13), std::string(11, '\0'), kFile, 0, 0);
        v.entry(v.root(14), "HIDDEN.TXT", kFile, 0, 0);
        v.entry(v.root(15), "HIDDEN2.TXT", kFile, 0, 0);
        seeds.push_back({"ok-slot-classes-and-names", v.img});
    }
    return seeds;
}

std::vector<Seed> damaged() {
    std::vector<Seed> seeds;
    {
        Volume v(small());
        v.entry(v.root(0), "CYCLE.TXT", kFile, 2, 1500);
        testimg::setFatEntry(v.img, v.g, 2, 3);
        testimg::setFatEntry(v.img, v.g, 3, 4);
        testimg::setFatEntry(v.img, v.g, 4, 2);
        v.entry(v.root(1), "SELF.TXT", kFile, 5, 2000);
        testimg::setFatEntry(v.img, v.g, 5, 5);
        v.entry(v.root(2), "TAIL.TXT", kFile, 6, 100);
        testimg::setFatEntry(v.img, v.g, 6, 7);
        testimg::setFatEntry(v.img, v.g, 7, 6);
        seeds.push_back({"bad-fat-cycle", v.img});
    }
    {
        Volume v(small());
        v.entry(v.root(0), "A.TXT", kFile, 2, 1536);
        testimg::setChain(v.img, v.g, {2, 3, 4});
        v.entry(v.root(1), "B.TXT", kFile, 5, 1024);
        testimg::setFatEntry(v.img, v.g, 5, 3);
        v.entry(v.root(2), "C.TXT", kFile, 3, 1024);
        v.entry(v.root(3), "D.TXT", kFile, 2, 1536);
        seeds.push_back({"bad-cross-linked", v.img});
    }
    {
        Volume v(small());
        const uint32_t sub = v.makeDir(0);
        v.entry(v.root(0), "SUB", kDir, uint16_t(sub), 0);
        v.entry(v.slot(sub, 2), "LOOP", kDir, uint16_t(sub), 0);
        v.entry(v.slot(sub, 3), "FILE.TXT", kFile, 0, 0);
        seeds.push_back({"bad-dir-contains-itself", v.img});
    }
    {
        Volume v(small());
        const uint32_t a = v.makeDir(0);
        v.entry(v.root(0), "A", kDir, uint16_t(a), 0);
        const uint32_t b = v.makeDir(uint16_t(a));
        v.entry(v.slot(a, 2), "B", kDir, uint16_t(b), 0);
        const uint32_t c = v.makeDir(uint16_t(b));
        v.entry(v.slot(b, 2), "C", kDir, uint16_t(c), 0);
        v.entry(v.slot(c, 2), "UP", kDir, uint16_t(a), 0);
        v.entry(v.slot(c, 3), "TOP", kDir, 0, 0);
        v.makeFile(v.slot(c, 4), "X.TXT", 50);
        seeds.push_back({"bad-dir-contains-ancestor", v.img});
    }
    {
        // A whole floppy whose every cluster starts a directory that runs to the end of one
        // long chain and holds the next: overlapping tables that claim about 2 GB together.
        Volume v(testimg::floppy144());
        const uint32_t last = v.g.clusterLimit() - 1;
        for (uint32_t c = 2; c <= last; ++c) {
            testimg::setFatEntry(v.img, v.g, c, c < last ? c + 1 : 0xFFF);
            testimg::putDirectoryCluster(v.img, v.g, c, c == 2 ? 0 : c - 1);
            if (c < last) {
                v.entry(v.slot(c, 2), "D", kDir, uint16_t(c + 1), 0);
            }
        }
        v.entry(v.root(0), "D", kDir, 2, 0);
        seeds.push_back({"bad-dir-tables-share-one-chain", v.img});
    }
    {
        Volume v(small());
        v.entry(v.root(0), "ZERO", kDir, 0, 0);
        const uint32_t sub = v.makeDir(0);
        v.entry(v.root(1), "SUB", kDir, uint16_t(sub), 0);
        v.entry(v.slot(sub, 2), "ROOTLINK", kDir, 0, 0);
        v.entry(v.root(2), "NOCHAIN.TXT", kFile, 0, 5000);
        seeds.push_back({"bad-first-cluster-0", v.img});
    }
    {
        Volume v(small());
        v.entry(v.root(0), "ONE", kDir, 1, 0);
        v.entry(v.root(1), "ONE.TXT", kFile, 1, 100);
        const uint32_t sub = v.makeDir(0);
        v.entry(v.root(2), "SUB", kDir, uint16_t(sub), 0);
        v.entry(v.slot(sub, 2), "ONE", kDir, 1, 0);
        seeds.push_back({"bad-first-cluster-1", v.img});
    }
    {
        Volume v(small());
        const uint32_t limit = v.g.clusterLimit();
        v.entry(v.root(0), "FAR.TXT", kFile, 0xFF0, 10);
        v.entry(v.root(1), "FARDIR", kDir, uint16_t(limit), 0);
        v.entry(v.root(2), "EDGE.TXT", kFile, uint16_t(limit - 1), 10);
        testimg::setFatEntry(v.img, v.g, limit - 1, limit + 3);
        v.entry(v.root(3), "MAXDIR", kDir, 0xFFFF, 0);
        v.entry(v.root(4), "NEXTFAR.TXT", kFile, 2, 1000);
        testimg::setFatEntry(v.img, v.g, 2, 0xFF0);
        seeds.push_back({"bad-cluster-beyond-data", v.img});
    }
    {
        Volume v(small());
        v.makeFile(v.root(0), "SHORT.TXT", 100);
        v.entry(v.root(0), "SHORT.TXT", kFile, 2, 100000);
        v.entry(v.root(1), "HUGE.TXT", kFile, 2, 0xFFFFFFFF);
        v.entry(v.root(2), "EMPTYBIG.TXT", kFile, 0, 0x7FFFFFFF);
        seeds.push_back({"bad-size-beyond-chain", v.img});
    }
    {
        Volume v(small());
        v.entry(v.root(0), "TOONE.TXT", kFile, 2, 1500);
        testimg::setFatEntry(v.img, v.g, 2, 3);
        testimg::setFatEntry(v.img, v.g, 3, 1);
        v.entry(v.root(1), "TOFREE.TXT", kFile, 4, 1500);
        testimg::setFatEntry(v.img, v.g, 4, 5);
        testimg::setFatEntry(v.img, v.g, 5, 0);
        v.entry(v.root(2), "BADMARK.TXT", kFile, 6, 600);
        testimg::setFatEntry(v.img, v.g, 6, 0xFF7);
        seeds.push_back({"bad-chain-values", v.img});
    }
    {
        Volume v(small());
        const uint32_t sub = v.makeDir(0);
        v.entry(v.root(0), "SUB", kDir, uint16_t(sub), 0);
        testimg::putEntry(v.img, v.slot(sub, 1), "..         ", kDir, uint16_t(sub), 0);
        const uint32_t file = v.makeFile(v.root(1), "F.TXT", 40);
        const uint32_t other = v.makeDir(uint16_t(file));
        testimg::putEntry(v.img, v.slot(other, 0), ".          ", kDir, uint16_t(sub), 0);
        v.entry(v.slot(sub, 2), "ODD", kDir, uint16_t(other), 0);
        seeds.push_back({"bad-dot-entries", v.img});
    }
    {
        // Directory entries over clusters that hold no directory: the format's fill and a
        // text file.
        Volume v(small());
        const uint32_t text = v.makeFile(v.root(0), "TEXT.TXT", 512);
        v.entry(v.root(1), "ONTEXT", kDir, uint16_t(text), 0);
        v.entry(v.root(2), "ONFILL", kDir, 10, 0);
        testimg::setChain(v.img, v.g, {10});
        seeds.push_back({"bad-dir-over-data", v.img});
    }
    {
        Volume v(small());
        v.zeroCluster(2);
        v.zeroCluster(3);
        testimg::setChain(v.img, v.g, {2, 3});
        testimg::setFatEntry(v.img, v.g, 3, 2);
        v.dotEntries(2, 0);
        v.entry(v.root(0), "RING", kDir, 2, 0);
        v.entry(v.slot(2, 2), "IN.TXT", kFile, 0, 0);
        seeds.push_back({"bad-dir-chain-cycle", v.img});
    }
    {
        Volume v(geometry(512, 1, 1, 2, 32, 24, 1));
        v.longName(v.root(0), 0x01);  // no first-of-set flag and nothing before it
        v.entry(v.root(1), "AFTER.TXT", kFile, 0, 0);
        v.longName(v.root(2), 0x00);  // a long-name slot whose first byte is the end mark
        v.entry(v.root(3), "BEHIND.TXT", kFile, 0, 0);
        for (uint32_t i = 4; i < 32; ++i) {
            v.longName(v.root(i), uint8_t(0x40 | (i & 0x1F)));
        }
        seeds.push_back({"bad-long-name-orphans", v.img});
    }
    {
        Volume v = populated(small());
        // The second FAT disagrees; only the first counts.
        const size_t copy1 = v.g.fatOffset(1);
        for (size_t i = 3; i < 512; ++i) {
            v.img[copy1 + i] = uint8_t(i * 13);
        }
        // Entries 0 and 1 of the first FAT are free, as if never written.
        v.img[v.g.fatOffset(0)] = 0;
        v.img[v.g.fatOffset(0) + 1] = 0;
        v.img[v.g.fatOffset(0) + 2] = 0;
        seeds.push_back({"bad-fat-copies-differ", v.img});
    }
    {
        Volume v(small());
        v.rawEntry(v.root(0), "ALLBITS    ", 0xFF, 2, 10);
        v.rawEntry(v.root(1), "DIRFILE    ", 0x30, 0, 99);
        v.rawEntry(v.root(2), "LFNLIKE    ", 0x4F, 0, 0);
        v.rawEntry(v.root(3), "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", kDir, 3, 0);
        testimg::setChain(v.img, v.g, {2, 3});
        seeds.push_back({"bad-attribute-bytes", v.img});
    }
    {
        Volume v = populated(small());
        seeds.push_back({"bad-truncated-after-root", v.sectors(v.g.firstDataSector())});
        seeds.push_back({"bad-truncated-mid-sector", v.sectors(v.g.firstDataSector() + 1)});
        std::vector<uint8_t> odd = v.img;
        odd.resize(v.g.sectorOffset(v.g.firstDataSector() + 2) + 100);
        seeds.push_back({"bad-truncated-odd-length", odd});
    }
    return seeds;
}

std::vector<Seed> unmountable() {
    std::vector<Seed> seeds;
    seeds.push_back({"bin-empty", {}});
    seeds.push_back({"bin-100-bytes", std::vector<uint8_t>(100, 0xF6)});
    {
        Volume v(small());
        v.img.resize(511);
        seeds.push_back({"bin-511-bytes", v.img});
    }
    {
        std::vector<uint8_t> b = bootOnly(small());
        std::copy_n("fat12   ", 8, b.begin() + 54);
        seeds.push_back({"bin-type-lower-case", b});
        std::copy_n("FAT12\0\0\0", 8, b.begin() + 54);
        seeds.push_back({"bin-type-nul-padded", b});
        std::copy_n("FAT16   ", 8, b.begin() + 54);
        seeds.push_back({"bin-type-fat16", b});
    }
    seeds.push_back({"bin-bytes-per-sector-256", bootOnly(small(), 256)});
    seeds.push_back({"bin-bytes-per-sector-0", bootOnly(small(), 0)});
    seeds.push_back({"bin-bytes-per-sector-513", bootOnly(small(), 513)});
    seeds.push_back({"bin-bytes-per-sector-8192", bootOnly(small(), 8192)});
    seeds.push_back({"bin-cluster-size-0", bootOnly(geometry(512, 0, 1, 2, 16, 24, 1))});
    seeds.push_back({"bin-cluster-size-3", bootOnly(geometry(512, 3, 1, 2, 16, 24, 1))});
    seeds.push_back({"bin-no-reserved-sector", bootOnly(geometry(512, 1, 0, 2, 16, 24, 1))});
    seeds.push_back({"bin-no-fat", bootOnly(geometry(512, 1, 1, 0, 16, 24, 1))});
    seeds.push_back({"bin-empty-fat", bootOnly(geometry(512, 1, 1, 2, 16, 24, 0))});
    seeds.push_back({"bin-total-at-data-start", bootOnly(geometry(512, 1, 1, 2, 16, 4, 1))});
    seeds.push_back(
        {"bin-cluster-limit-ff8", bootOnly(geometry(512, 1, 1, 2, 16, 26 + 0xFF6, 12))});
    seeds.push_back({"bin-fat-one-byte-short", bootOnly(geometry(512, 1, 1, 1, 16, 3 + 340, 1))});
    {
        Volume v = populated(geometry(512, 1, 1, 2, 16, 24, 2));
        seeds.push_back({"bin-truncated-inside-fat", v.sectors(2)});
    }
    {
        Volume v = populated(geometry(512, 1, 1, 2, 32, 24, 1));
        seeds.push_back({"fail-truncated-inside-root", v.sectors(v.g.rootDirSector() + 1)});
    }
    return seeds;
}

// Typed sessions. Host files a.txt and b.bin exist at the start; no '/' anywhere, since
// the session body refuses inputs that could name paths outside its directory.
std::vector<Seed> sessions() {
    auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    std::vector<Seed> seeds;
    seeds.push_back({"session-tree", text("mkdir A\ncd A\ntouch X.TXT\ncp 'a.txt Y.TXT\nls\n"
                                          "cd ..\nls A\nmv A\\Y.TXT Z.TXT\nrm Z.TXT\nrm A\\X.TXT\n"
                                          "rmdir A\nls\nexit\n")});
    seeds.push_back({"session-paths", text("mkdir \\P\\Q\\R\ncd \\P\\Q\ncd .\ncd ...\ncd ..\n"
                                           "cd \\\nls \\P\\\nls \\\\x\nls P\\\\Q\ncd P\\Q\\R\\\n"
                                           "ls ..\\..\nls .\nrmdir \\P\ncd \\\nrmdir P\nls\n")});
    seeds.push_back(
        {"session-copy", text("cp 'b.bin B.BIN\ncp B.BIN C.BIN\ncp C.BIN 'out.bin\n"
                              "cp 'out.bin D.BIN\ncp B.BIN 'disk.img\ncp B.BIN B.BIN\n"
                              "mv 'a.txt A.TXT\nmv A.TXT 'moved.txt\nmv B.BIN C.BIN\n"
                              "cp 'missing X\ncp 'a.txt\ncp 'disk.img DISK.IMG\nls\n")});
    seeds.push_back({"session-raw", text("read s0.bin lba=0 num=1\nread r.bin lba=19 num=2 base=1\n"
                                         "write b.bin lba=40\nwrite s0.bin\nread s0.bin\n"
                                         "write b.bin lba=33 num=3 ch=0\nwrite r.bin base=1 num=2 "
                                         "lba=19\nread disk.img\nwrite disk.img lba=100 num=1\n"
                                         "read big.bin lba=2879 num=4\nls\n")});
    seeds.push_back({"session-binary-mode", text("write a.txt\nls\ncd x\nfoo\nhelp\n?\n"
                                                 "read r.bin lba=0\nwrite b.bin lba=5\n"
                                                 "format\nls\nmkdir OK\nls\n")});
    seeds.push_back({"session-ancestors", text("mkdir A\\B\\C\\D\\E\\F\\G\\H\\I\ncd A\\B\\C\\D\n"
                                               "rmdir ..\nrmdir \\A\nrmdir .\nrmdir \\\n"
                                               "rmdir ..\\..\\..\ncd \\\nrmdir A\\B\\C\\D\n"
                                               "rmdir A\nls A\n")});
    seeds.push_back({"session-names", text("touch \xE5NAME.TXT\nls\nrm \xE5NAME.TXT\ntouch .abc\n"
                                           "touch ..\nmkdir ...\ntouch name.\ntouch a.b.c\n"
                                           "touch Hello.TXT\nrm HELLO.txt\n"
                                           "touch \x82\xA0\x82\xA2.TXT\nmkdir \x95\x5C\x8E\xA6\n"
                                           "touch longfilename.text\ntouch longfilenamf.tex\n"
                                           "ls\n")});
    {
        std::string s;
        for (int i = 0; i < 230; ++i) {
            s += "touch F" + std::to_string(i) + "\n";
        }
        s += "mkdir SUB\n";
        s += "ls\n";
        seeds.push_back({"session-fill-root", text(s)});
    }
    {
        std::string s = "mkdir SUB\ncd SUB\n";
        for (int i = 0; i < 40; ++i) {
            s += "touch F" + std::to_string(i) + "\n";
        }
        s += "cp 'b.bin BIG\nls\ncd \\\nrmdir SUB\nls\n";
        seeds.push_back({"session-grow-subdir", text(s)});
    }
    seeds.push_back({"session-format", text("mkdir A\nformat extra words\nls\nformat\nls A\n")});
    seeds.push_back(
        {"session-refusals", text("cd\nmkdir\nrm\nmv a\ncp a\nwrite\nread\nLS\nexit now\n"
                                  "ls\n")});
    seeds.push_back({"hostile-line-255", text("touch " + std::string(249, 'A') + "\nls\n")});
    seeds.push_back({"hostile-line-256", text("mkdir " + std::string(250, 'B') + "\nls\n")});
    seeds.push_back({"hostile-line-1000", text("touch " + std::string(1000, 'C') + "\nls " +
                                               std::string(300, 'D') + "\n")});
    seeds.push_back({"hostile-backslashes",
                     text("mkdir " + std::string(240, '\\') + "\ncd " + std::string(200, '\\') +
                          "\nls " + std::string(100, '\\') + "X\nmkdir A" + std::string(120, '\\') +
                          "B\ntouch \\\\\\\\\nrm \\\nrmdir \\\\\n")});
    {
        static const char withNul[] = "ls\0 x\nmk\0dir A\ntouch B\0C\n";
        std::string s(withNul, sizeof withNul - 1);
        s += "\x01\x02\x03\x7F\n\x1B[2J\n\ttouch\tT1\r\n\r\rmkdir\vD\f\nls\n";
        seeds.push_back({"hostile-nul-and-control", text(s)});
    }
    seeds.push_back(
        {"hostile-many-tokens", text("mv a b c d e f g h i j k l m\n"
                                     "cp 'a.txt X 3 4 5 6 7 8 9 10 11 12\n"
                                     "ls \\ a b c d e f g h i j k\n"
                                     "read r.bin lba=1 num=1 base=0 a b c d e f num=2\n")});
    seeds.push_back(
        {"hostile-parameters",
         text("read r.bin num=99999999999\nread r.bin lba=-0\nread r.bin base=\n"
              "read r.bin =5\nwrite a.txt ch=-2 num=1\nread r.bin lba=65535 num=1\n"
              "read r.bin lba=65535 num=2\nread r.bin num=-1\nread r.bin base=65536\n"
              "write a.txt ch=99999999999 lba=3\nwrite b.bin lba=-99999999999\n"
              "read r.bin lba=+7 num= 3\nread r.bin lba==3\nwrite a.txt lba=2147483647\n"
              "read r.bin num=65536\nwrite a.txt num=65535 lba=1\nls\n")});
    {
        std::string s = "touch ";
        for (int b = 0x80; b <= 0xFF; b += 7) {
            s += char(b);
        }
        s += "\nmkdir \x81\x5C\x81\x5C\nls\ntouch \xFF\xFE.\xFD\xFC\nrm \xFF\xFE.\xFD\xFC\n";
        s += "touch \x82\nls \x82\ncd \x81\n";
        seeds.push_back({"hostile-high-bytes", text(s)});
    }
    seeds.push_back({"hostile-no-final-newline", text("mkdir A\ncd A\ntouch END")});
    seeds.push_back({"hostile-exit-variants", text("EXIT\n exit\nls\n")});
    seeds.push_back({"hostile-empty", {}});
    return seeds;
}

bool writeSeeds(const std::filesystem::path& dir, const std::vector<Seed>& seeds) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    for (const Seed& seed : seeds) {
        const std::string path = (dir / seed.name).string();
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr ||
            (!seed.bytes.empty() &&
             std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), file) != seed.bytes.size())) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            if (file != nullptr) {
                std::fclose(file);
            }
            return false;
        }
        std::fclose(file);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::vector<Seed> images = wellFormed();
    for (auto* part : {&damaged, &unmountable}) {
        for (Seed& seed : (*part)()) {
            images.push_back(std::move(seed));
        }
    }
    if (!writeSeeds(out / "image", images) || !writeSeeds(out / "commands", sessions())) {
        return 1;
    }
    std::printf("%zu image seeds, %zu session seeds\n", images.size(), sessions().size());
    return 0;
}
