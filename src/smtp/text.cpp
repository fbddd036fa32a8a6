#include "smtp/text.hpp"

#include <algorithm>

namespace vantrel::smtp {

namespace {

bool line_break(char c) noexcept {
    return c == '\r' || c == '\n';
}

} // namespace

TextFacts examine(std::string_view text) noexcept {
    TextFacts facts;
    const char* p = text.data();
    const char* const end = p + text.size();
    bool in_header = true;
    bool line_empty = true;
    std::uint64_t plain = 0;  // octets that are not line endings
    std::uint64_t breaks = 0; // each line ending is two octets on the wire
    unsigned char high = 0;   // the or of every octet
    while (p < end) {
        const char* run = p;
        while (p < end && !line_break(*p))
            high |= static_cast<unsigned char>(*p++);
        if (p > run) line_empty = false;
        plain += static_cast<std::uint64_t>(p - run);
        if (in_header && (high & 0x80)) facts.header_8bit = true;
        if (p == end) break;
        // CRLF, a lone CR or a lone LF: one line ending.
        p += (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
        ++breaks;
        if (line_empty) in_header = false;
        line_empty = true;
    }
    facts.eight_bit = (high & 0x80) != 0;
    facts.size = plain + 2 * breaks;
    if (text.empty() || !line_break(text.back())) facts.size += 2;
    return facts;
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
        std::size_t end = pos_;
        while (end < limit && !line_break(text_[end]))
            ++end;
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
