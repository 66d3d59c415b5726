// Faults a test injects into a camera (vcam.h, Faults): an unplug after so
// many queries, failed queries (the Nth, seeded random ones, those a
// predicate picks) and flipped bits in answers. None of this is behaviour
// of a healthy camera; it sits between the driver's checks and the
// firmware so that a refused request is refused whatever is injected.
#include "vcam.h"

namespace vcam {

bool Camera::unplug_due() const {
    return faults_.unplug_after >= 0 && query_count_ > faults_.unplug_after;
}

int Camera::injected_failure(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size,
                             const uint8_t* data) {
    if (faults_.fail_query_n > 0 && query_count_ == faults_.fail_query_n)
        return faults_.fail_query_errno;
    if (chance(faults_.random_fail_per_million)) return faults_.random_fail_errno;
    if (faults_.fail_if) {
        if (faults_.fail_if(query_record(index_, unit, selector, request, size, data)))
            return faults_.fail_if_errno;
    }
    return 0;
}

// splitmix64: small, fast and the same on every platform, so a seed names
// one fault pattern everywhere.
bool Camera::chance(uint32_t per_million) {
    if (per_million == 0) return false;
    if (rng_state_ == 0) rng_state_ = faults_.seed ? faults_.seed : 1;
    uint64_t z = (rng_state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z % 1000000u < per_million;
}

void Camera::apply_flips(uint8_t request, uint16_t size, uint8_t* data) {
    if (request != REQ_GET_CUR || size == 0) return;
    if (faults_.flip_query_n > 0 && query_count_ == faults_.flip_query_n &&
        faults_.flip_byte < size)
        data[faults_.flip_byte] ^= faults_.flip_mask;
    if (chance(faults_.random_flip_per_million)) {
        // A second draw picks the bit, so the pattern follows the seed alone.
        uint64_t pick = rng_state_ * 0x2545F4914F6CDD1Dull >> 33;
        data[pick % size] ^= static_cast<uint8_t>(1u << (pick / size % 8));
    }
}

}  // namespace vcam
