#include "smtp/client.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace vantrel::smtp {

namespace {

// The commands after which nothing more is written until their reply is in
// (RFC 2920 section 3.1, and STARTTLS and AUTH, whose replies change what may
// follow).
bool ends_group(Command command) noexcept {
    switch (command) {
    case Command::Ehlo:
    case Command::Helo:
    case Command::StartTls:
    case Command::Auth:
    case Command::AuthResponse:
    case Command::Data:
    case Command::Noop:
    case Command::Quit:
        return true;
    default:
        return false;
    }
}

char upper(char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_word(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return upper(x) == upper(y); });
}

bool has_8bit(std::string_view text) noexcept {
    return std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
}

bool unsafe_address(std::string_view address) noexcept {
    return address.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// "<address>", unless it is in angle brackets already.
void append_path(std::string& line, std::string_view address) {
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>') {
        line += address;
        return;
    }
    line.push_back('<');
    line += address;
    line.push_back('>');
}

std::string_view trim(std::string_view text) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

void parse_capabilities(const std::string& text, Capabilities& caps) {
    caps = Capabilities{};
    caps.esmtp = true;
    std::string_view rest = text;
    bool first = true;
    while (!rest.empty() || first) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (first) {
            caps.greeting = line;
            first = false;
            continue;
        }
        line = trim(line);
        if (line.empty()) continue;
        // "AUTH=LOGIN PLAIN" is the old form of "AUTH LOGIN PLAIN".
        const std::size_t split = line.find_first_of(" =");
        std::string keyword(line.substr(0, split));
        std::transform(keyword.begin(), keyword.end(), keyword.begin(), upper);
        std::string_view params =
            split == std::string_view::npos ? std::string_view() : trim(line.substr(split + 1));
        if (keyword == "PIPELINING") {
            caps.pipelining = true;
        } else if (keyword == "CHUNKING") {
            caps.chunking = true;
        } else if (keyword == "8BITMIME") {
            caps.eight_bit_mime = true;
        } else if (keyword == "SMTPUTF8") {
            caps.smtputf8 = true;
        } else if (keyword == "STARTTLS") {
            caps.starttls = true;
        } else if (keyword == "SIZE") {
            caps.size = true;
            std::uint64_t limit = 0;
            std::from_chars(params.data(), params.data() + params.size(), limit);
            caps.size_limit = limit;
        } else if (keyword == "AUTH") {
            caps.auth = true;
            std::string_view words = params;
            while (!words.empty()) {
                const std::size_t space = words.find(' ');
                std::string word(words.substr(0, space));
                std::transform(word.begin(), word.end(), word.begin(), upper);
                if (!word.empty() && !caps.offers_mechanism(word))
                    caps.mechanisms.push_back(std::move(word));
                words =
                    space == std::string_view::npos ? std::string_view() : words.substr(space + 1);
            }
        }
        caps.extensions.emplace_back(std::move(keyword), std::string(params));
    }
}

} // namespace

const char* command_name(Command command) noexcept {
    switch (command) {
    case Command::None:
        return "";
    case Command::Ehlo:
        return "EHLO";
    case Command::Helo:
        return "HELO";
    case Command::StartTls:
        return "STARTTLS";
    case Command::Auth:
        return "AUTH";
    case Command::AuthResponse:
        return "AUTH response";
    case Command::Mail:
        return "MAIL";
    case Command::Rcpt:
        return "RCPT";
    case Command::Data:
        return "DATA";
    case Command::Text:
        return "text";
    case Command::Bdat:
        return "BDAT";
    case Command::Rset:
        return "RSET";
    case Command::Noop:
        return "NOOP";
    case Command::Quit:
        return "QUIT";
    }
    return "";
}

const char* event_name(EventKind kind) noexcept {
    switch (kind) {
    case EventKind::Greeting:
        return "greeting";
    case EventKind::Hello:
        return "hello";
    case EventKind::HelloRefused:
        return "hello_refused";
    case EventKind::TlsReady:
        return "tls_ready";
    case EventKind::TlsRefused:
        return "tls_refused";
    case EventKind::LoggedIn:
        return "logged_in";
    case EventKind::LoginRefused:
        return "login_refused";
    case EventKind::Unsupported:
        return "unsupported";
    case EventKind::TextReady:
        return "text_ready";
    case EventKind::Accepted:
        return "accepted";
    case EventKind::Refused:
        return "refused";
    case EventKind::NotSent:
        return "not_sent";
    case EventKind::Lost:
        return "lost";
    case EventKind::Done:
        return "done";
    case EventKind::Sent:
        return "sent";
    case EventKind::Received:
        return "received";
    case EventKind::ProtocolError:
        return "protocol_error";
    case EventKind::Closed:
        return "closed";
    }
    return "";
}

bool Capabilities::offers(std::string_view keyword) const noexcept {
    return std::any_of(extensions.begin(), extensions.end(),
                       [&](const auto& extension) { return same_word(extension.first, keyword); });
}

bool Capabilities::offers_mechanism(std::string_view mechanism) const noexcept {
    return std::any_of(mechanisms.begin(), mechanisms.end(),
                       [&](const std::string& offered) { return same_word(offered, mechanism); });
}

// ---------------------------------------------------------------------------
// Jobs: the queued operations.

namespace {

enum JobKind : int { Hello, StartTls, Login, Send, Reset, Noop, Quit };

// Where the writing of a message stands.
enum class Step : std::uint8_t {
    Start,     // nothing written
    Rcpt,      // MAIL written; RCPTs next
    Body,      // every RCPT written; DATA or the first BDAT next
    AwaitData, // DATA written, its reply awaited
    Text,      // the text after 354
    Chunk,     // BDAT chunks
    Reset,     // the transaction failed: RSET (and the lone "." first) next
    Written,   // everything written; the outcome comes with the replies
};

} // namespace

struct Client::Job {
    int kind;
    std::uint64_t seq = 0;
    bool done = false;

    // Hello, StartTls: how far the exchange is (0: nothing written).
    int stage = 0;
    bool dropped = false; // by a failed setup step: nothing of it is written

    // Login.
    std::vector<std::unique_ptr<Mechanism>> mechanisms;
    std::size_t mechanism = 0; // the one being tried
    int challenges = 0;
    Reply last_refusal;
    std::string challenge; // the last one, decoded

    // Send.
    std::uint64_t tag = 0;
    std::string sender;
    std::vector<std::string> recipients;
    std::string_view text;
    TextFacts facts;
    bool smtputf8 = false;
    Step step = Step::Start;
    std::uint64_t first_octet = std::numeric_limits<std::uint64_t>::max();
    std::size_t next_rcpt = 0;
    std::size_t rcpt_replies = 0;
    std::size_t rcpt_accepted = 0;
    Reply mail_reply;
    std::vector<Reply> rcpt_reply;
    TextCursor cursor;
    std::uint64_t chunked = 0;    // octets of the text put in BDAT chunks so far
    std::uint64_t chunk_left = 0; // octets of the current chunk still to write
    std::size_t chunks = 0;       // chunks begun
    std::size_t chunks_acked = 0; // chunks the server took
    bool lone_dot = false;        // 354 came though no recipient was accepted
    bool needs_reset = false;
    bool decided = false; // the outcome is known
    bool emitted = false;
    EventKind outcome{};
    Command refused_at = Command::None;
    Reply outcome_reply;

    bool envelope_known() const noexcept {
        return mail_reply.code != 0 && rcpt_replies == recipients.size();
    }
    bool envelope_ok() const noexcept { return mail_reply.code == 250 && rcpt_accepted > 0; }
};

Client::Client(Options options) : options_(options) {
    options_.chunk_size = std::max<std::size_t>(options_.chunk_size, 1);
    options_.output_limit = std::max<std::size_t>(options_.output_limit, 1);
    options_.max_in_flight = std::max<std::size_t>(options_.max_in_flight, 1);
    options_.max_lines = std::max<std::size_t>(options_.max_lines, 1);
    options_.max_line = std::max<std::size_t>(options_.max_line, 4);
}

Client::~Client() = default;

Client::Job* Client::job(std::uint64_t seq) noexcept {
    if (jobs_.empty() || seq < jobs_.front()->seq) return nullptr;
    const std::uint64_t index = seq - jobs_.front()->seq;
    return index < jobs_.size() ? jobs_[index].get() : nullptr;
}

Client::Job& Client::enqueue(int kind) {
    auto job = std::make_unique<Job>();
    job->kind = kind;
    job->seq = next_seq_++;
    // After a failed setup step nothing but QUIT goes out any more, whenever
    // it was asked for: a message must not go unencrypted or unauthenticated.
    if (setup_failed_ && kind != Quit) job->done = job->dropped = true;
    jobs_.push_back(std::move(job));
    return *jobs_.back();
}

bool Client::pipelining() const noexcept {
    return options_.pipelining && caps_.pipelining;
}

bool Client::can_write() const noexcept {
    if (pending_.empty()) return true;
    if (!pipelining() || pending_.size() >= options_.max_in_flight) return false;
    return !ends_group(pending_.back().command);
}

// ---------------------------------------------------------------------------
// Operations.

bool Client::hello(std::string_view local_name) {
    if (local_name.empty() || unsafe_address(local_name)) return false;
    local_name_ = local_name;
    enqueue(Hello);
    pump();
    return true;
}

void Client::start_tls() {
    enqueue(StartTls);
    pump();
}

void Client::tls_established() {
    if (state_ != State::TlsWait) return;
    state_ = State::Ready;
    caps_ = Capabilities{};
    pump();
}

void Client::login(std::vector<std::unique_ptr<Mechanism>> mechanisms) {
    Job& job = enqueue(Login);
    job.mechanisms = std::move(mechanisms);
    pump();
}

Submitted Client::send(const Message& message) {
    if (state_ == State::Closed || setup_failed_) {
        emit_simple(EventKind::NotSent, Command::None, Reply{}, message.tag);
        return Submitted::Queued;
    }
    if (message.recipients.empty()) return Submitted::NoRecipients;
    if (unsafe_address(message.sender)) return Submitted::BadAddress;
    for (std::string_view recipient : message.recipients) {
        if (recipient.empty() || unsafe_address(recipient)) return Submitted::BadAddress;
    }
    Job& job = enqueue(Send);
    job.tag = message.tag;
    job.sender = message.sender;
    job.recipients.assign(message.recipients.begin(), message.recipients.end());
    job.rcpt_reply.resize(job.recipients.size());
    job.text = message.text;
    job.facts = examine(message.text);
    job.smtputf8 = message.smtputf8 || job.facts.header_8bit || has_8bit(job.sender) ||
                   std::any_of(job.recipients.begin(), job.recipients.end(),
                               [](const std::string& r) { return has_8bit(r); });
    pump();
    return Submitted::Queued;
}

bool Client::withdraw(std::uint64_t tag) {
    for (auto& queued : jobs_) {
        Job& job = *queued;
        if (job.kind != Send || job.tag != tag || job.done || job.step != Step::Start) continue;
        job.done = job.dropped = job.decided = job.emitted = true;
        pump();
        return true;
    }
    return false;
}

void Client::reset() {
    enqueue(Reset);
    pump();
}

void Client::noop() {
    enqueue(Noop);
    pump();
}

void Client::quit() {
    enqueue(Quit);
    pump();
}

// ---------------------------------------------------------------------------
// Output.

std::string_view Client::output() {
    pump();
    return std::string_view(out_).substr(out_pos_);
}

void Client::consume(std::size_t written) {
    written = std::min(written, out_.size() - out_pos_);
    out_pos_ += written;
    consumed_ += written;
    if (out_pos_ == out_.size()) {
        out_.clear();
        out_pos_ = 0;
    } else if (out_pos_ >= out_.size() / 2) {
        out_.erase(0, out_pos_);
        out_pos_ = 0;
    }
    pump();
}

bool Client::next_event(Event& event) {
    if (events_.empty()) return false;
    event = std::move(events_.front());
    events_.pop_front();
    return true;
}

void Client::emit(Event&& event) {
    events_.push_back(std::move(event));
}

void Client::emit_simple(EventKind kind, Command command, const Reply& reply, std::uint64_t tag) {
    Event event;
    event.kind = kind;
    event.command = command;
    event.reply = reply;
    event.tag = tag;
    emit(std::move(event));
}

void Client::trace_sent(std::string_view line) {
    if (!options_.trace) return;
    Event event;
    event.kind = EventKind::Sent;
    event.detail = line;
    emit(std::move(event));
}

void Client::write_command(Command command, std::uint64_t job, std::string_view line,
                           std::uint32_t index, bool last, bool asked) {
    trace_sent(line);
    out_ += line;
    out_ += "\r\n";
    pending_.push_back(Pending{command, job, index, last, asked});
}

// AUTH and its responses: the base64 part is a secret in the trace.
void Client::write_auth(Job& job, std::string_view line, bool secret_tail, Command command) {
    if (options_.trace) {
        const bool hide = secret_tail && job.mechanisms[job.mechanism]->secret();
        std::string shown(line.substr(0, hide ? line.rfind(' ') + 1 : line.size()));
        if (hide) shown += "***";
        trace_sent(shown);
    }
    out_ += line;
    out_ += "\r\n";
    pending_.push_back(Pending{command, job.seq, 0});
}

void Client::pump() {
    for (;;) {
        // A job wholly written with nothing left to hear goes; the rest stay
        // until their replies are in.
        while (!jobs_.empty() && jobs_.front()->done && jobs_.front()->seq < writer_)
            jobs_.pop_front();
        if (state_ != State::Ready || out_.size() - out_pos_ >= options_.output_limit) return;
        Job* current = job(writer_);
        if (!current || !advance(*current)) return;
        ++writer_;
    }
}

// Writes what the job may write now; true when it has written everything
// and the next job may begin.
bool Client::advance(Job& job) {
    if (job.dropped) return true;
    switch (job.kind) {
    case Hello:
        if (job.stage == 0) {
            if (!pending_.empty()) return false;
            write_command(Command::Ehlo, job.seq, "EHLO " + local_name_);
            job.stage = 1;
        }
        return job.done;
    case StartTls:
        if (job.stage == 0) {
            if (!pending_.empty()) return false;
            if (!caps_.starttls) {
                Event event;
                event.kind = EventKind::Unsupported;
                event.missing = Extension::StartTls;
                emit(std::move(event));
                job.done = true;
                fail_setup(job);
                return true;
            }
            write_command(Command::StartTls, job.seq, "STARTTLS");
            job.stage = 1;
        } else if (job.stage == 2) {
            // TLS is up: the server's capabilities are asked for again.
            write_command(Command::Ehlo, job.seq, "EHLO " + local_name_);
            job.stage = 3;
        }
        return job.done;
    case Login:
        return advance_login(job);
    case Send:
        return advance_message(job);
    case Reset:
    case Noop:
    case Quit:
        if (!can_write()) return false;
        write_command(job.kind == Reset  ? Command::Rset
                      : job.kind == Noop ? Command::Noop
                                         : Command::Quit,
                      job.seq,
                      job.kind == Reset  ? "RSET"
                      : job.kind == Noop ? "NOOP"
                                         : "QUIT",
                      0, false, true);
        job.done = true;
        if (job.kind == Quit) state_ = State::Quitting;
        return true;
    }
    return true;
}

bool Client::advance_login(Job& job) {
    if (job.stage != 0) return job.done;
    if (!pending_.empty()) return false;
    Extension missing = Extension::None;
    if (!caps_.auth) {
        missing = Extension::Auth;
    } else {
        while (job.mechanism < job.mechanisms.size() &&
               !caps_.offers_mechanism(job.mechanisms[job.mechanism]->name()))
            ++job.mechanism;
        if (job.mechanism == job.mechanisms.size()) {
            if (job.last_refusal.code != 0) {
                // Every offered mechanism was tried: the last refusal stands.
                emit_simple(EventKind::LoginRefused, Command::Auth, job.last_refusal);
                events_.back().detail = job.challenge;
                job.done = true;
                fail_setup(job);
                return true;
            }
            missing = Extension::AuthMechanism;
        }
    }
    if (missing != Extension::None) {
        Event event;
        event.kind = EventKind::Unsupported;
        event.missing = missing;
        emit(std::move(event));
        job.done = true;
        fail_setup(job);
        return true;
    }
    Mechanism& mechanism = *job.mechanisms[job.mechanism];
    std::string line = "AUTH ";
    line += mechanism.name();
    job.challenges = 0;
    job.challenge.clear();
    const std::optional<std::string> initial = mechanism.initial();
    if (initial) {
        line.push_back(' ');
        // RFC 4954: an empty initial response is sent as "=".
        if (initial->empty()) line.push_back('=');
        base64_encode(*initial, line);
    }
    write_auth(job, line, initial.has_value(), Command::Auth);
    job.stage = 1;
    return false;
}

void Client::write_chunk_header(Job& job) {
    const std::uint64_t left = job.facts.size - job.chunked;
    const std::uint64_t size = std::min<std::uint64_t>(left, options_.chunk_size);
    const bool last = size == left;
    std::string line = "BDAT " + std::to_string(size);
    if (last) line += " LAST";
    write_command(Command::Bdat, job.seq, line, 0, last);
    job.chunked += size;
    job.chunk_left = size;
    ++job.chunks;
    open_bytes_ = size > 0;
}

bool Client::advance_message(Job& job) {
    const bool grouped = pipelining();
    const bool chunking = options_.chunking && caps_.chunking;
    for (;;) {
        switch (job.step) {
        case Step::Start: {
            if (job.smtputf8 && !caps_.smtputf8) {
                Event event;
                event.kind = EventKind::Unsupported;
                event.missing = Extension::SmtpUtf8;
                event.tag = job.tag;
                emit(std::move(event));
                job.done = job.decided = job.emitted = true;
                return true;
            }
            if (!can_write()) return false;
            std::string line = "MAIL FROM:";
            append_path(line, job.sender);
            if (caps_.size) line += " SIZE=" + std::to_string(job.facts.size);
            if (job.facts.eight_bit && caps_.eight_bit_mime) line += " BODY=8BITMIME";
            if (job.smtputf8) line += " SMTPUTF8";
            job.first_octet = produced();
            write_command(Command::Mail, job.seq, line);
            job.step = Step::Rcpt;
            continue;
        }
        case Step::Rcpt:
            if (!grouped) {
                if (job.mail_reply.code == 0) return false;
                if (job.mail_reply.code != 250) {
                    settle_envelope(job);
                    continue;
                }
            }
            while (job.next_rcpt < job.recipients.size()) {
                if (!can_write()) return false;
                std::string line = "RCPT TO:";
                append_path(line, job.recipients[job.next_rcpt]);
                write_command(Command::Rcpt, job.seq, line,
                              static_cast<std::uint32_t>(job.next_rcpt));
                ++job.next_rcpt;
            }
            job.step = Step::Body;
            continue;
        case Step::Body:
            if (!grouped) {
                if (!job.envelope_known()) return false;
                if (!job.envelope_ok()) {
                    settle_envelope(job);
                    continue;
                }
            }
            if (chunking) {
                job.cursor = TextCursor(job.text, false);
                job.step = Step::Chunk;
                continue;
            }
            if (!can_write()) return false;
            write_command(Command::Data, job.seq, "DATA");
            job.step = Step::AwaitData;
            return false;
        case Step::AwaitData:
            // The reply to DATA moves the job on.
            if (job.decided) {
                job.step = Step::Reset;
                continue;
            }
            return false;
        case Step::Text: {
            if (!open_bytes_) {
                // The final reply is awaited from here on; a reply before the
                // text is complete is the server's error (see on_reply).
                pending_.push_back(Pending{Command::Text, job.seq, 0});
                trace_sent("<text: " + std::to_string(job.facts.size) + " octets>");
                open_bytes_ = true;
            }
            const std::size_t buffered = out_.size() - out_pos_;
            if (buffered >= options_.output_limit) return false;
            job.cursor.produce(out_, options_.output_limit - buffered);
            if (!job.cursor.finished()) return false;
            out_ += ".\r\n";
            open_bytes_ = false;
            job.step = Step::Written;
            // The next message's commands may follow in the same group.
            return grouped || job.done;
        }
        case Step::Chunk: {
            if (job.chunk_left > 0) {
                const std::size_t buffered = out_.size() - out_pos_;
                if (buffered >= options_.output_limit) return false;
                const std::uint64_t budget =
                    std::min<std::uint64_t>(job.chunk_left, options_.output_limit - buffered);
                job.chunk_left -= job.cursor.produce(out_, static_cast<std::size_t>(budget));
                if (job.chunk_left > 0) return false;
                open_bytes_ = false;
            }
            if (job.decided) {
                job.step =
                    job.chunked == job.facts.size && !job.needs_reset ? Step::Written : Step::Reset;
                continue;
            }
            if (job.chunked == job.facts.size && job.chunks > 0) {
                // BDAT LAST is out.  Its reply ends the transaction either way,
                // and after a refusal the server's state is unknown (RFC 3030):
                // the next message waits for it.
                job.step = Step::Written;
                return job.done;
            }
            if (job.chunks > 0) {
                // More chunks only for a transaction that can still succeed:
                // every envelope reply in and a recipient accepted, and without
                // pipelining the previous chunk taken.
                if (!job.envelope_known()) return false;
                if (!job.envelope_ok()) {
                    settle_envelope(job);
                    continue;
                }
                if (!grouped && job.chunks_acked < job.chunks) return false;
            }
            if (!can_write()) return false;
            write_chunk_header(job);
            continue;
        }
        case Step::Reset:
            if (job.lone_dot) {
                // DATA was accepted though nothing can be delivered: an empty
                // text ends it, and its reply is of no interest.
                out_ += ".\r\n";
                trace_sent(".");
                pending_.push_back(Pending{Command::Text, job.seq, 0});
                job.lone_dot = false;
            }
            if (job.needs_reset) {
                if (!pending_.empty() && !grouped) return false;
                write_command(Command::Rset, job.seq, "RSET");
                job.needs_reset = false;
            }
            job.step = Step::Written;
            emit_outcome(job);
            continue;
        case Step::Written:
            if (job.decided) emit_outcome(job);
            // Without pipelining, and after BDAT, the next message waits for
            // this one's outcome.
            return job.done || (grouped && !chunking);
        }
    }
}

// ---------------------------------------------------------------------------
// Outcomes.

void Client::settle(Job& job, EventKind kind, Command command, const Reply& reply) {
    if (job.decided) return;
    job.decided = true;
    job.done = true;
    job.outcome = kind;
    job.refused_at = command;
    job.outcome_reply = reply;
    // A message whose bytes are still being written reports when they are,
    // and one that needs a RSET after it.
    if (job.step != Step::Written) return;
    if (job.needs_reset) {
        job.step = Step::Reset;
    } else {
        emit_outcome(job);
    }
}

// The envelope failed: MAIL refused, or no recipient accepted.
void Client::settle_envelope(Job& job) {
    job.needs_reset = true;
    if (job.mail_reply.code != 250) {
        settle(job, EventKind::Refused, Command::Mail, job.mail_reply);
    } else {
        const auto refused = std::find_if(job.rcpt_reply.begin(), job.rcpt_reply.end(),
                                          [](const Reply& r) { return r.code && !accepted(r); });
        settle(job, EventKind::Refused, Command::Rcpt,
               refused == job.rcpt_reply.end() ? Reply{} : *refused);
    }
    if (job.step == Step::Rcpt || job.step == Step::Body) job.step = Step::Reset;
}

void Client::emit_outcome(Job& job) {
    if (job.emitted || !job.decided) return;
    job.emitted = true;
    Event event;
    event.kind = job.outcome;
    event.command = job.refused_at;
    event.tag = job.tag;
    event.reply = std::move(job.outcome_reply);
    if (job.outcome == EventKind::Accepted || job.outcome == EventKind::Refused)
        event.recipients = std::move(job.rcpt_reply);
    emit(std::move(event));
}

void Client::finish(Job& job) {
    job.done = true;
    pump();
}

// After a refused greeting, EHLO and HELO, STARTTLS or login nothing queued
// may go out (a message after a failed login must not be relayed anyhow):
// the messages end NotSent, and only a QUIT stays.
void Client::fail_setup(Job& failed) {
    drop_queued(failed.seq + 1);
}

void Client::drop_queued(std::uint64_t from) {
    setup_failed_ = true;
    for (auto& queued : jobs_) {
        Job& job = *queued;
        if (job.seq < from || job.done || job.kind == Quit) continue;
        job.done = job.dropped = true;
        if (job.kind == Send) {
            job.decided = job.emitted = true;
            emit_simple(EventKind::NotSent, Command::None, Reply{}, job.tag);
        }
    }
}

// The end of the session: every message not yet settled is NotSent when none
// of its octets was written, else Lost (when `lost_possible`: after a 421 the
// server takes nothing after the refused command).
void Client::terminate(bool lost_possible) {
    for (auto& queued : jobs_) {
        Job& job = *queued;
        if (job.kind != Send || job.emitted) continue;
        if (job.decided) {
            job.step = Step::Written;
            emit_outcome(job);
            continue;
        }
        const bool written = job.first_octet < consumed_;
        job.decided = job.emitted = job.done = true;
        emit_simple(lost_possible && written ? EventKind::Lost : EventKind::NotSent, Command::None,
                    Reply{}, job.tag);
    }
    jobs_.clear();
    writer_ = next_seq_;
    pending_.clear();
    state_ = State::Closed;
    out_.clear();
    out_pos_ = 0;
    open_bytes_ = false;
}

void Client::closing(const Reply& reply) {
    terminate(false);
    emit_simple(EventKind::Closed, Command::None, reply);
}

void Client::protocol_error(std::string detail) {
    Event event;
    event.kind = EventKind::ProtocolError;
    event.detail = std::move(detail);
    emit(std::move(event));
    terminate(true);
}

void Client::receive_eof() {
    if (state_ == State::Closed) return;
    terminate(true);
    emit_simple(EventKind::Closed, Command::None, Reply{});
}

// ---------------------------------------------------------------------------
// Input.

void Client::receive(std::string_view data) {
    if (state_ == State::Closed || data.empty()) return;
    if (state_ == State::TlsWait) return protocol_error("data after the reply to STARTTLS");
    in_ += data;
    parse();
    if (in_pos_ == in_.size() || state_ == State::Closed) {
        in_.clear();
        in_pos_ = in_scan_ = 0;
    } else if (in_pos_ > 0) {
        in_.erase(0, in_pos_);
        in_scan_ -= in_pos_;
        in_pos_ = 0;
    }
    pump();
}

void Client::parse() {
    while (state_ != State::Closed) {
        const std::size_t end = in_.find('\n', in_scan_);
        if (end == std::string::npos) {
            in_scan_ = in_.size();
            if (in_.size() - in_pos_ > options_.max_line)
                protocol_error("reply line longer than " + std::to_string(options_.max_line) +
                               " octets");
            return;
        }
        std::string_view line(in_.data() + in_pos_, end - in_pos_);
        in_pos_ = in_scan_ = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > options_.max_line) {
            protocol_error("reply line longer than " + std::to_string(options_.max_line) +
                           " octets");
            return;
        }
        const auto digit = [](char c) { return c >= '0' && c <= '9'; };
        if (line.size() < 3 || !digit(line[0]) || !digit(line[1]) || !digit(line[2]) ||
            line[0] < '2' || line[0] > '5' ||
            (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
            std::string shown(line.substr(0, 80));
            protocol_error("malformed reply line: \"" + shown + "\"");
            return;
        }
        const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (partial_lines_ > 0 && code != partial_.code) {
            protocol_error("reply lines with different codes (" + std::to_string(partial_.code) +
                           ", " + std::to_string(code) + ")");
            return;
        }
        if (partial_lines_ == options_.max_lines) {
            protocol_error("reply of more than " + std::to_string(options_.max_lines) + " lines");
            return;
        }
        if (partial_lines_ > 0) partial_.text.push_back('\n');
        partial_.code = code;
        partial_.text += trim(line.size() > 4 ? line.substr(4) : std::string_view());
        ++partial_lines_;
        if (line.size() > 3 && line[3] == '-') continue;
        Reply reply = std::move(partial_);
        partial_ = Reply{};
        partial_lines_ = 0;
        on_reply(reply);
        if (state_ == State::TlsWait && in_pos_ < in_.size()) {
            // Anything after the 220 came before TLS, unprotected: taking it
            // as the server's would let a third party speak for it.
            protocol_error("data after the reply to STARTTLS");
            return;
        }
    }
}

void Client::on_reply(Reply& reply) {
    if (options_.trace) emit_simple(EventKind::Received, Command::None, reply);
    if (state_ == State::Greeting) {
        emit_simple(EventKind::Greeting, Command::None, reply);
        state_ = State::Ready;
        if (reply.code == 421) return closing(reply);
        if (reply.code != 220) drop_queued(0);
        return pump();
    }
    if (pending_.empty()) {
        // A server that is closing says 421 unasked (an idle timeout).
        if (reply.code == 421) return closing(reply);
        protocol_error("reply to no command: " + std::to_string(reply.code) + " " +
                       reply.text.substr(0, 80));
        return;
    }
    const Pending pending = pending_.front();
    if (open_bytes_ && pending_.size() == 1 && reply.code != 421) {
        // The server answered a text it has not had in full: what is still to
        // come of it would be read as commands.
        protocol_error("reply before the end of the text: " + std::to_string(reply.code) + " " +
                       reply.text.substr(0, 80));
        return;
    }
    pending_.pop_front();
    Job* job = this->job(pending.job);
    if (reply.code == 421) {
        // The server is closing: the command it answered is refused, and the
        // ones after it were not read.
        if (job && job->kind == Send) {
            job->step = Step::Written;
            settle(*job, EventKind::Refused, pending.command, reply);
        } else if (job && !job->done) {
            const EventKind kind = job->kind == StartTls && pending.command == Command::StartTls
                                       ? EventKind::TlsRefused
                                   : job->kind == Login ? EventKind::LoginRefused
                                   : job->kind == Hello || job->kind == StartTls
                                       ? EventKind::HelloRefused
                                       : EventKind::Done;
            emit_simple(kind, pending.command, reply);
            job->done = true;
        }
        return closing(reply);
    }
    switch (pending.command) {
    case Command::Rset:
    case Command::Noop:
        // `asked`: a RSET or NOOP of the driver's, not one after a failure.
        if (pending.asked) emit_simple(EventKind::Done, pending.command, reply);
        return pump();
    case Command::Quit:
        return closing(reply);
    default:
        break;
    }
    if (!job) return; // a reply for a job that needs it no more
    switch (pending.command) {
    case Command::Ehlo:
        if (reply.code >= 200 && reply.code < 300) {
            parse_capabilities(reply.text, caps_);
            emit_simple(EventKind::Hello, Command::Ehlo, reply);
            return finish(*job);
        }
        caps_ = Capabilities{};
        write_command(Command::Helo, job->seq, "HELO " + local_name_);
        return;
    case Command::Helo:
        if (reply.code >= 200 && reply.code < 300) {
            caps_ = Capabilities{};
            caps_.greeting = reply.text;
            emit_simple(EventKind::Hello, Command::Helo, reply);
            return finish(*job);
        }
        emit_simple(EventKind::HelloRefused, Command::Helo, reply);
        job->done = true;
        fail_setup(*job);
        return pump();
    case Command::StartTls:
        if (reply.code == 220) {
            emit_simple(EventKind::TlsReady, Command::StartTls, reply);
            job->stage = 2;
            state_ = State::TlsWait;
            return;
        }
        emit_simple(EventKind::TlsRefused, Command::StartTls, reply);
        job->done = true;
        fail_setup(*job);
        return pump();
    case Command::Auth:
    case Command::AuthResponse:
        return on_login_reply(*job, reply);
    default:
        return on_message_reply(*job, pending, reply);
    }
}

void Client::on_login_reply(Job& job, Reply& reply) {
    if (reply.code == 235 || reply.code == 503) {
        emit_simple(EventKind::LoggedIn, Command::Auth, reply);
        return finish(job);
    }
    Mechanism& mechanism = *job.mechanisms[job.mechanism];
    if (reply.code == 334) {
        // smtplib's bound: a server that keeps asking is refused the answer.
        std::optional<std::string> response;
        job.challenge.clear();
        if (++job.challenges <= 5 && base64_decode(reply.text, job.challenge))
            response = mechanism.respond(job.challenge);
        std::string line;
        if (response) {
            base64_encode(*response, line);
        } else {
            line = "*";
        }
        write_auth(job, line, response.has_value(), Command::AuthResponse);
        return;
    }
    if (reply.code == 535) {
        // Credentials refused: trying another mechanism would only count as
        // one more failure against the account.
        emit_simple(EventKind::LoginRefused, Command::Auth, reply);
        events_.back().detail = job.challenge;
        job.done = true;
        fail_setup(job);
        return pump();
    }
    job.last_refusal = reply;
    ++job.mechanism;
    job.stage = 0;
    pump();
}

void Client::on_message_reply(Job& job, const Pending& pending, Reply& reply) {
    switch (pending.command) {
    case Command::Mail:
        job.mail_reply = std::move(reply);
        break;
    case Command::Rcpt:
        if (accepted(reply)) ++job.rcpt_accepted;
        ++job.rcpt_replies;
        job.rcpt_reply[pending.index] = std::move(reply);
        break;
    case Command::Data:
        if (!job.envelope_ok()) {
            // DATA was written with the envelope; MAIL or every RCPT failed.
            job.lone_dot = reply.code == 354;
            settle_envelope(job);
        } else if (reply.code == 354) {
            emit_simple(EventKind::TextReady, Command::Data, Reply{}, job.tag);
            job.cursor = TextCursor(job.text, true);
            job.step = Step::Text;
        } else {
            job.needs_reset = true;
            settle(job, EventKind::Refused, Command::Data, reply);
        }
        break;
    case Command::Text:
        if (job.decided) break; // the reply to the lone "."
        if (reply.code == 250) {
            settle(job, EventKind::Accepted, Command::None, reply);
        } else {
            settle(job, EventKind::Refused, Command::Text, reply);
        }
        break;
    case Command::Bdat:
        if (job.decided) break;
        if (reply.code != 250) {
            job.needs_reset = true;
            if (!job.envelope_ok()) {
                settle_envelope(job);
            } else {
                settle(job, EventKind::Refused, Command::Bdat, reply);
            }
        } else if (pending.last) {
            if (job.envelope_ok()) {
                settle(job, EventKind::Accepted, Command::None, reply);
            } else {
                settle_envelope(job);
            }
        } else {
            ++job.chunks_acked;
        }
        break;
    default:
        break;
    }
    pump();
}

} // namespace vantrel::smtp
