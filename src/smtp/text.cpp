#include "smtp/text.hpp"

#include <algorithm>
#include <cstring>

namespace vantrel::smtp {

namespace {

bool line_break(char c) noexcept {
    return c == '\r' || c == '\n';
}

} // namespace

TextFacts examine(std::string_view text) noexcept {
    TextFacts facts;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    // Loops without early exits, which the compiler vectorises: the or of
    // every octet, and the lone CRs and LFs, each one octet short of CRLF.
    unsigned char high = 0;
    std::uint64_t lone = 0;
    for (std::size_t i = 0; i < n; ++i)
        high |= p[i];
    for (std::size_t i = 0; i + 1 < n; ++i)
        lone += (p[i] == '\r') & (p[i + 1] != '\n');
    for (std::size_t i = 1; i < n; ++i)
        lone += (p[i] == '\n') & (p[i - 1] != '\r');
    if (n > 0) lone += (p[n - 1] == '\r') + (p[0] == '\n');
    facts.eight_bit = (high & 0x80) != 0;
    facts.size = n + lone;
    if (n == 0 || !line_break(text.back())) facts.size += 2;
    if (facts.eight_bit) {
        // The header section ends at the first empty line.
        std::size_t line = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (p[i] & 0x80) {
                facts.header_8bit = true;
                break;
            }
            if (!line_break(text[i])) continue;
            if (i == line) break;
            if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
            line = i + 1;
        }
    }
    return facts;
}

// Where the run of octets from `from` that holds no CR or LF ends, at most at
// `limit`.  memchr is much faster than a loop over the octets.
std::size_t TextCursor::run_end(std::size_t from, std::size_t limit) const noexcept {
    const char* base = text_.data();
    const void* lf = std::memchr(base + from, '\n', limit - from);
    const std::size_t end = lf ? static_cast<const char*>(lf) - base : limit;
    const void* cr = std::memchr(base + from, '\r', end - from);
    return cr ? static_cast<const char*>(cr) - base : end;
}

std::string wire_text(std::string_view text) {
    std::string out;
    TextCursor cursor(text, false);
    const TextFacts facts = examine(text);
    out.reserve(facts.size + 2);
    while (!cursor.finished())
        cursor.produce(out, facts.size + 2);
    return out;
}

std::size_t TextCursor::produce(std::string& out, std::size_t budget) {
    std::size_t produced = 0;
    while (produced < budget) {
        if (lf_owed_) {
            out.push_back('\n');
            ++produced;
            lf_owed_ = false;
            line_start_ = true;
            continue;
        }
        if (pos_ == text_.size()) {
            if (tail_done_) break;
            tail_done_ = true;
            // An empty text or one whose last line has no ending gets CRLF.
            if (text_.empty() || !line_start_) {
                out.push_back('\r');
                ++produced;
                lf_owed_ = true;
            }
            continue;
        }
        if (line_start_ && stuffing_ && text_[pos_] == '.') {
            out.push_back('.'); // the doubled dot; the text's own follows
            ++produced;
            line_start_ = false;
            continue;
        }
        const std::size_t limit = std::min(text_.size(), pos_ + (budget - produced));
        std::size_t end = run_end(pos_, limit);
        if (end > pos_) {
            out.append(text_.data() + pos_, end - pos_);
            produced += end - pos_;
            pos_ = end;
            line_start_ = false;
            continue;
        }
        // A line ending of any kind: CR now, LF owed.
        if (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
        ++pos_;
        out.push_back('\r');
        ++produced;
        lf_owed_ = true;
    }
    return produced;
}

} // namespace vantrel::smtp
