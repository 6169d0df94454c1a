// Finishes an AVI file that a render left unfinished: stopped hard before it could close its
// RIFFs and write its indexes, cut off by a full disk, or stopped while it rewrote its headers.
// From the chunks a walk of the file finds (AviReader) it lays out the file the plug-in's writer
// would have written with those chunks: the same sizes, counts, standard and super indexes, idx1
// and "AVIX" RIFFs at the writer's limits, every packet copied byte for byte.
//
// A repair is planned first and applied after. Into a new file the plan writes front to back.
// In place it only patches and appends (after cutting off what no reader can use: a partial
// last chunk, indexes that it rewrites), and every step leaves a file that the same repair
// plans again to the same result, so a repair that was itself interrupted is simply run again.
#pragma once

#include "avi/avi_writer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {

class AviReader;

// Where a repair's steps land: the damaged file itself, or a new one.
class RepairTarget {
public:
    virtual ~RepairTarget() = default;
    virtual void write(uint64_t offset, std::span<const uint8_t> bytes) = 0;
    // Cuts the file, or lengthens it with zeros.
    virtual void resize(uint64_t size) = 0;
    // Everything written reaches the file, or this throws.
    virtual void flush() {}
};

// The file at `path`, patched in place, or created (replacing any file there).
std::unique_ptr<RepairTarget> openRepairTarget(const std::string& path, bool create);

struct RepairStep {
    enum class Kind { Write, Copy, Resize };
    Kind kind = Kind::Write;
    uint64_t offset = 0;        // where it writes; the new size for Resize
    std::vector<uint8_t> bytes; // Write
    uint64_t from = 0;          // Copy: this many (size) bytes of the damaged file from here
    uint64_t size = 0;
};

struct RepairPlan {
    std::vector<RepairStep> steps;
    uint64_t fileSize = 0; // of the repaired file

    // Takes the steps in order; Copy steps read from the damaged file.
    void apply(AviReader& source, RepairTarget& target) const;
};

class AviRepair {
public:
    // Why a video packet of the stream cannot be kept (it does not decode), or nothing.
    using PacketCheck =
        std::function<std::optional<std::string>(size_t stream, std::span<const uint8_t>)>;

    // Decides what to keep: every complete chunk of every stream, less the video packets that
    // `check` (when given) refuses. Throws std::runtime_error when the file holds nothing to
    // recover: the render stopped before the header was complete.
    AviRepair(AviReader& file, PacketCheck check, const IOPlugin::AviLimits& limits = {});

    struct Dropped {
        std::string what, why;
    };
    const std::vector<Dropped>& dropped() const { return m_dropped; }
    // Per stream: chunks kept, and the frames or sample frames they hold.
    std::vector<std::pair<uint64_t, uint64_t>> kept() const;

    // A new file with everything kept, laid out at the writer's limits.
    RepairPlan intoNewFile() const;
    // The steps that finish the file where it is; none when it needs nothing. Throws
    // std::runtime_error when a RIFF before the last has no room for its rebuilt indexes.
    RepairPlan inPlace() const;
    bool needed() const;

private:
    struct Kept {
        size_t stream;
        uint64_t data; // offset of the data in the damaged file
        uint32_t size;
        size_t riff; // in the damaged file
    };
    struct Placed {
        const Kept* chunk;
        uint64_t at; // offset of its header in the repaired file
    };
    struct Riff {
        uint64_t offset, movi;
        std::vector<Placed> chunks;
    };
    struct Tail;

    uint32_t durationOf(const Kept& chunk) const;
    Tail tailOf(const Riff& riff, bool first) const;
    std::vector<uint8_t> mainHeader(const std::vector<Riff>& riffs) const;
    std::vector<uint8_t> streamHeader(size_t stream) const;
    std::vector<uint8_t> extendedHeader() const;
    std::vector<uint8_t> superIndex(size_t stream, const std::vector<Tail>& tails,
                                    uint64_t reserved) const;

    AviReader& m_file;
    IOPlugin::AviLimits m_limits;
    std::vector<Kept> m_kept;                           // in file order
    std::vector<std::pair<size_t, uint64_t>> m_refused; // RIFF and header of packets dropped
    std::vector<Dropped> m_dropped;
};

} // namespace host
