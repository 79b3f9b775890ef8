// The fault script: which request to answer wrongly, and how.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin/standin.h"

namespace dalvento::standin {

struct FaultScript {
    std::vector<Fault> faults;

    // The first fault for the nth request of a step (with a part: the part_attempt-th upload of
    // that part); none when no fault applies.
    const Fault* find(const std::string& step, uint32_t attempt, std::optional<uint64_t> part,
                      uint32_t part_attempt) const;
};

// The ETag header a fault gives instead of etag: hex is the right digest, other_hex a wrong one.
std::optional<std::string> faulty_etag(const Fault& fault, std::optional<std::string> etag,
                                       const std::string& hex, const std::string& other_hex);

}  // namespace dalvento::standin
