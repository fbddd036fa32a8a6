// A message's text as it goes over the wire: every line ending CRLF (a lone
// CR or LF becomes CRLF), a final CRLF when the text lacks one, and for DATA
// lines that begin with "." doubled.  Produced piecewise into the output
// buffer straight from the caller's bytes, so no copy of the whole message is
// ever made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::smtp {

// What one pass over the text finds out.
struct TextFacts {
    std::uint64_t size = 0;   // octets with CRLF line endings, before any dot-stuffing
    bool eight_bit = false;   // a byte above 127 anywhere
    bool header_8bit = false; // one in the header section (before the first empty line)
};

TextFacts examine(std::string_view text) noexcept;

// The whole wire form without dot-stuffing: what a BDAT chunk carries and
// what the server stores after undoing DATA's doubled dots.  A DKIM signature
// is computed over exactly this.
std::string wire_text(std::string_view text);

class TextCursor {
public:
    TextCursor() = default;
    TextCursor(std::string_view text, bool dot_stuffing) noexcept
        : text_(text), stuffing_(dot_stuffing) {}

    // Appends at most `budget` octets of the wire form; returns how many.
    std::size_t produce(std::string& out, std::size_t budget);
    bool finished() const noexcept { return pos_ == text_.size() && !lf_owed_ && tail_done_; }

private:
    std::size_t run_end(std::size_t from, std::size_t limit) const noexcept;

    std::string_view text_;
    std::size_t pos_ = 0;
    bool stuffing_ = false;
    bool line_start_ = true; // the next octet begins a line
    bool lf_owed_ = false;   // a CR was written, its LF not yet
    bool tail_done_ = false; // the final CRLF was added, or was not needed
};

} // namespace vantrel::smtp
