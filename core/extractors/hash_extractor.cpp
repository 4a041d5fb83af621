#include "core/extractors/hash_extractor.h"

#include "core/base/keys.h"
#include "core/digest/digest_text.h"

namespace zorvane {

HashExtractor::HashExtractor() : InfoExtractor(keys::kSourceHash) {}

void HashExtractor::onImageBegin()
{
    digests_.reset();
}

void HashExtractor::onImageData(const std::uint8_t* data, std::uint32_t count)
{
    digests_.update(data, count);
}

void HashExtractor::onImageEnd()
{
    const digest::Md5Sha1Digests d = digests_.finish();
    setProperty("md5", toHexText(d.md5.data(), d.md5.size()));
    setProperty("sha1", toHexText(d.sha1.data(), d.sha1.size()));
}

}  // namespace zorvane
