#pragma once

#include <cstdint>

#include "core/digest/md5_sha1.h"
#include "core/extractors/info_extractor.h"

namespace zorvane {

// MD5 and SHA-1 of the scanned file's bytes, in one pass over the blocks the
// session reads; it never opens a file itself. onImageEnd stores "hash.md5"
// and then "hash.sha1" as lowercase hexadecimal; a file that never reached
// onImageBegin gets neither key. Nothing is allocated per block.
class HashExtractor : public InfoExtractor {
public:
    HashExtractor();

    void onImageBegin() override;
    void onImageData(const std::uint8_t* data, std::uint32_t count) override;
    void onImageEnd() override;

private:
    digest::Md5Sha1 digests_;
};

}  // namespace zorvane
