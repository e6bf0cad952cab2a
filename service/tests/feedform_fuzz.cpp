// libFuzzer target for the feed form's decoder: whatever a client posts, the
// decoder neither crashes nor trips a sanitizer, every refusal says why, and
// whatever it accepts is exactly the add-in's encoding of what it decoded (so
// it never accepts a body the add-in could not have written, and loses nothing).
#include "feed/FeedForm.h"

#include "AddinForm.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A view of libFuzzer's own buffer, sized exactly, so ASan sees any read past its end.
    const std::string_view body(reinterpret_cast<const char *>(data), size);
    std::string reason;
    const auto form = quorvia::DecodeFeedForm(body, &reason);
    if (!form && reason.empty()) {
        std::fprintf(stderr, "refused without a reason\n");
        std::abort();
    }
    if (form && quorvia::test::AddinForm(*form) != quorvia::test::UpperHex(std::string(body))) {
        std::fprintf(stderr, "accepted a body the add-in would not write from what was decoded\n");
        std::abort();
    }
    return 0;
}
