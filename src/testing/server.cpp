// The stand-in SMTP server: commands are read line by line and answered in
// the order they came, so a pipelined group gets its replies in order with
// no special handling.  Replies follow the usual wording of submission
// servers, enhanced status codes included.
#include "testing/server.hpp"

#include "smtp/sasl.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>

namespace vantrel::testing {
namespace {

// The longest command line taken: AUTH lines carry tokens of a few KB.
constexpr std::size_t max_command = 16 << 10;

// For the queue ids of accepted messages, unique in the process.
std::atomic<std::uint64_t> queued{0};

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_word(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool starts_with_word(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && same_word(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The first word and the rest.
std::pair<std::string_view, std::string_view> split_word(std::string_view text) noexcept {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) return {text, {}};
    return {text.substr(0, space), trim(text.substr(space + 1))};
}

bool is_ascii(std::string_view text) noexcept {
    return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool parse_number(std::string_view text, std::uint64_t& value) noexcept {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

// "FROM:<address> PARAMS": the address (brackets removed) and the
// parameters, or nullopt when the path is malformed.
struct Path {
    std::string_view address;
    std::string_view parameters;
};

std::optional<Path> parse_path(std::string_view argument, std::string_view keyword) {
    if (!starts_with_word(argument, keyword)) return std::nullopt;
    std::string_view rest = trim(argument.substr(keyword.size()));
    Path path;
    if (!rest.empty() && rest.front() == '<') {
        const std::size_t close = rest.find('>');
        if (close == std::string_view::npos) return std::nullopt;
        path.address = rest.substr(1, close - 1);
        path.parameters = trim(rest.substr(close + 1));
    } else {
        std::tie(path.address, path.parameters) = split_word(rest);
    }
    if (path.address.find_first_of(std::string_view("\0\r\n<> ", 6)) != std::string_view::npos) {
        return std::nullopt;
    }
    return path;
}

// The failure challenge of a token mechanism, as the providers send it.
constexpr std::string_view xoauth2_failure =
    R"({"status":"401","schemes":"bearer","scope":"https://mail.example.test/"})";
constexpr std::string_view oauthbearer_failure =
    R"({"status":"invalid_token","schemes":"bearer","scope":"https://mail.example.test/"})";

// XOAUTH2: "user=" user "\x01auth=Bearer " token "\x01\x01".
std::optional<std::string> xoauth2_user(std::string_view response) {
    if (!response.starts_with("user=")) return std::nullopt;
    const std::size_t end = response.find('\x01');
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view rest = response.substr(end + 1);
    if (!rest.starts_with("auth=Bearer ") || !rest.ends_with("\x01\x01")) return std::nullopt;
    if (rest.size() <= 14) return std::nullopt; // no token
    return std::string(response.substr(5, end - 5));
}

// OAUTHBEARER (RFC 7628): a GS2 header "n,a=user," then key=value pairs
// separated by ^A, auth=Bearer among them, and ^A^A at the end.  The user is
// the header's authzid, with =2C and =3D decoded; empty when absent.
std::optional<std::string> oauthbearer_user(std::string_view response) {
    if (response.size() < 2 || (response[0] != 'n' && response[0] != 'y') || response[1] != ',') {
        return std::nullopt;
    }
    std::string_view rest = response.substr(2);
    const std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    std::string_view authzid = rest.substr(0, comma);
    std::string user;
    if (!authzid.empty()) {
        if (!authzid.starts_with("a=")) return std::nullopt;
        authzid.remove_prefix(2);
        for (std::size_t i = 0; i < authzid.size(); ++i) {
            if (authzid.substr(i, 3) == "=2C") {
                user += ',';
                i += 2;
            } else if (authzid.substr(i, 3) == "=3D") {
                user += '=';
                i += 2;
            } else {
                user += authzid[i];
            }
        }
    }
    std::string_view pairs = rest.substr(comma + 1);
    if (!pairs.starts_with("\x01") || !pairs.ends_with("\x01\x01")) return std::nullopt;
    pairs = pairs.substr(1, pairs.size() - 3);
    bool bearer = false;
    while (!pairs.empty()) {
        const std::size_t end = std::min(pairs.find('\x01'), pairs.size());
        std::string_view pair = pairs.substr(0, end);
        if (pair.starts_with("auth=Bearer ") && pair.size() > 12) bearer = true;
        pairs.remove_prefix(std::min(end + 1, pairs.size()));
    }
    if (!bearer) return std::nullopt;
    return user;
}

} // namespace

Server::Server(Backend& backend, std::string_view name) : backend_(backend), name_(name) {
    reply(220, name_ + " ESMTP ready");
}

std::string Server::take_output() {
    if (!out_.empty()) taken_ = true;
    std::string out;
    out.swap(out_);
    return out;
}

bool Server::start_tls() {
    if (closed_) return false;
    if (phase_ == Phase::TlsWait) {
        mode_ = Mode::Starttls;
    } else if (!taken_ && !fed_ && mode_ == Mode::Plain) {
        mode_ = Mode::Ssl;
        return true;
    } else {
        return false;
    }
    // A new session over TLS: nothing said before it counts (RFC 3207).
    phase_ = Phase::Commands;
    greeted_ = esmtp_ = authenticated_ = false;
    username_.clear();
    auth_mechanism_.clear();
    reset_transaction();
    return true;
}

void Server::receive(std::string_view data) {
    fed_ = true;
    if (closed_) return;
    if (phase_ == Phase::TlsWait) {
        // Bytes where the TLS handshake belongs: the handshake fails.
        closed_ = true;
        return;
    }
    in_.append(data);
    std::size_t pos = 0;
    // What was read is gone also when the backend throws: the command that
    // asked it gets no reply, and the client drops the connection.
    struct Consumed {
        std::string& in;
        std::size_t& pos;
        ~Consumed() { in.erase(0, pos); }
    } consumed{in_, pos};
    while (!closed_ && phase_ != Phase::TlsWait) {
        if (phase_ == Phase::Chunk) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk_left_, in_.size() - pos));
            if (!chunk_refused_) text_.append(in_, pos, take);
            pos += take;
            chunk_left_ -= take;
            if (chunk_left_ > 0) break;
            phase_ = Phase::Commands;
            chunk_done();
            continue;
        }
        const std::size_t end = in_.find('\n', pos);
        if (end == std::string::npos) {
            if (in_.size() - pos > max_command && phase_ != Phase::Data) {
                reply(500, "5.5.2 Error: line too long");
                pos = in_.size();
            }
            break;
        }
        std::string_view line(in_.data() + pos, end + 1 - pos);
        pos = end + 1;
        if (phase_ == Phase::Data) {
            data_line(line);
            continue;
        }
        line.remove_suffix(1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.size() > max_command) {
            reply(500, "5.5.2 Error: line too long");
        } else if (phase_ == Phase::Auth) {
            auth_response(line);
        } else {
            command(line);
        }
    }
    // What follows STARTTLS in the same read was sent in the clear before the
    // handshake: a server throws it away.
    if (phase_ == Phase::TlsWait || closed_) pos = in_.size();
}

void Server::command(std::string_view line) {
    const auto [verb, argument] = split_word(line);
    if (same_word(verb, "EHLO") || same_word(verb, "HELO")) return ehlo(verb, argument);
    if (same_word(verb, "MAIL")) return mail(argument);
    if (same_word(verb, "RCPT")) return rcpt(argument);
    if (same_word(verb, "DATA")) return data(argument);
    if (same_word(verb, "BDAT")) return bdat(argument);
    if (same_word(verb, "AUTH")) return auth(argument);
    if (same_word(verb, "RSET")) {
        reset_transaction();
        return reply(250, "2.0.0 Ok");
    }
    if (same_word(verb, "NOOP")) return reply(250, "2.0.0 Ok");
    if (same_word(verb, "QUIT")) {
        reply(221, "2.0.0 Bye");
        closed_ = true;
        return;
    }
    if (same_word(verb, "STARTTLS")) {
        if (mode_ != Mode::Plain) return reply(554, "5.5.1 Error: TLS already active");
        if (!argument.empty()) return reply(501, "5.5.4 Syntax: STARTTLS");
        reply(220, "2.0.0 Ready to start TLS");
        phase_ = Phase::TlsWait;
        return;
    }
    if (verb.empty()) return reply(500, "5.5.2 Error: bad syntax");
    reply(502, "5.5.2 Error: command not recognized");
}

void Server::ehlo(std::string_view verb, std::string_view argument) {
    if (argument.empty()) return reply(501, "5.5.4 Syntax: " + std::string(verb) + " hostname");
    reset_transaction();
    greeted_ = true;
    esmtp_ = same_word(verb, "EHLO");
    if (!esmtp_) return reply(250, name_);
    std::string text = name_ + "\nPIPELINING\nSIZE\n8BITMIME\nSMTPUTF8\nCHUNKING\n"
                               "ENHANCEDSTATUSCODES\n";
    if (mode_ == Mode::Plain) text += "STARTTLS\n";
    text += "AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER";
    reply(250, text);
}

void Server::mail(std::string_view argument) {
    if (!greeted_) return reply(503, "5.5.1 Error: send HELO/EHLO first");
    if (in_transaction_) return reply(503, "5.5.1 Error: nested MAIL command");
    const std::optional<Path> path = parse_path(argument, "FROM:");
    if (!path) return reply(501, "5.1.7 Bad sender address syntax");
    bool smtputf8 = false;
    std::string_view parameters = path->parameters;
    while (!parameters.empty()) {
        const auto [parameter, rest] = split_word(parameters);
        parameters = rest;
        const std::size_t equals = parameter.find('=');
        std::string_view key = parameter.substr(0, equals);
        std::string_view value =
            equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
        std::uint64_t size = 0;
        if (!esmtp_) return reply(555, "5.5.4 Unsupported option: " + std::string(parameter));
        if (same_word(key, "SIZE") && parse_number(value, size)) continue;
        if (same_word(key, "BODY") && (same_word(value, "8BITMIME") || same_word(value, "7BIT"))) {
            continue;
        }
        if (same_word(parameter, "SMTPUTF8")) {
            smtputf8 = true;
            continue;
        }
        return reply(555, "5.5.4 Unsupported option: " + std::string(parameter));
    }
    if (!smtputf8 && !is_ascii(path->address)) {
        return reply(553, "5.6.7 Must declare SMTPUTF8 to send unicode address");
    }
    if (const auto refusal = backend_.refuse_sender(path->address)) return refuse(*refusal);
    in_transaction_ = true;
    smtputf8_ = smtputf8;
    mail_from_ = path->address;
    reply(250, "2.1.0 Ok");
}

void Server::rcpt(std::string_view argument) {
    if (!in_transaction_) return reply(503, "5.5.1 Error: need MAIL command");
    const std::optional<Path> path = parse_path(argument, "TO:");
    if (!path || path->address.empty()) return reply(501, "5.1.3 Bad recipient address syntax");
    if (!path->parameters.empty()) {
        return reply(555, "5.5.4 Unsupported option: " + std::string(path->parameters));
    }
    if (!smtputf8_ && !is_ascii(path->address)) {
        return reply(553, "5.6.7 Must declare SMTPUTF8 to send unicode address");
    }
    if (const auto refusal = backend_.refuse_recipient(path->address)) return refuse(*refusal);
    recipients_.emplace_back(path->address);
    reply(250, "2.1.5 Ok");
}

void Server::data(std::string_view argument) {
    if (!argument.empty()) return reply(501, "5.5.4 Syntax: DATA");
    if (!in_transaction_) return reply(503, "5.5.1 Error: need RCPT command");
    if (recipients_.empty()) return reply(554, "5.5.1 Error: no valid recipients");
    if (!text_.empty()) return reply(503, "5.5.1 Error: BDAT and DATA in one transaction");
    phase_ = Phase::Data;
    reply(354, "End data with <CR><LF>.<CR><LF>");
}

void Server::data_line(std::string_view line) {
    if (line == ".\r\n" || line == ".\n") {
        phase_ = Phase::Commands;
        return accept_message();
    }
    if (line.starts_with('.')) line.remove_prefix(1);
    text_.append(line);
}

void Server::bdat(std::string_view argument) {
    const auto [count, rest] = split_word(argument);
    std::uint64_t size = 0;
    const bool last = same_word(rest, "LAST");
    if (!parse_number(count, size) || (!rest.empty() && !last)) {
        // The length of what follows is unknown: nothing more can be read.
        reply(501, "5.5.4 Syntax: BDAT count [LAST]");
        closed_ = true;
        return;
    }
    chunk_left_ = size;
    chunk_last_ = last;
    // A chunk is read whatever happens to it (RFC 3030).
    chunk_refused_ = !in_transaction_ || recipients_.empty();
    phase_ = Phase::Chunk;
}

void Server::chunk_done() {
    if (chunk_refused_) {
        const bool no_mail = !in_transaction_;
        reset_transaction();
        return no_mail ? reply(503, "5.5.1 Error: need MAIL command")
                       : reply(554, "5.5.1 Error: no valid recipients");
    }
    if (chunk_last_) return accept_message();
    reply(250, "2.0.0 " + std::to_string(text_.size()) + " octets received");
}

void Server::accept_message() {
    const std::string username = authenticated_ ? username_ : std::string();
    backend_.deliver(Delivery{mail_from_, recipients_, text_, username,
                              authenticated_ ? std::string_view(auth_mechanism_) : "", mode_});
    reset_transaction();
    char id[32];
    std::snprintf(id, sizeof id, "%010llX",
                  static_cast<unsigned long long>(queued.fetch_add(1) + 1));
    reply(250, std::string("2.0.0 Ok: queued as ") + id);
}

void Server::reset_transaction() {
    in_transaction_ = smtputf8_ = false;
    mail_from_.clear();
    recipients_.clear();
    text_.clear();
}

// ---------------------------------------------------------------------------
// AUTH (RFC 4954) with PLAIN, LOGIN, XOAUTH2 and OAUTHBEARER.

void Server::auth(std::string_view argument) {
    if (!greeted_ || !esmtp_) return reply(503, "5.5.1 Error: send EHLO first");
    if (authenticated_) return reply(503, "5.5.1 Error: already authenticated");
    if (in_transaction_) return reply(503, "5.5.1 Error: MAIL transaction in progress");
    const auto [mechanism, initial] = split_word(argument);
    const bool plain = same_word(mechanism, "PLAIN");
    const bool login = same_word(mechanism, "LOGIN");
    const bool token = same_word(mechanism, "XOAUTH2") || same_word(mechanism, "OAUTHBEARER");
    if (!plain && !login && !token) {
        return reply(504, "5.5.4 Unrecognized authentication type");
    }
    auth_mechanism_.clear();
    for (char c : mechanism)
        auth_mechanism_ += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    phase_ = Phase::Auth;
    if (login) {
        if (initial.empty()) {
            auth_ = Auth::LoginUser;
            return reply(334, "VXNlcm5hbWU6"); // "Username:"
        }
        auth_ = Auth::LoginUser;
        return auth_response(initial);
    }
    auth_ = plain ? Auth::PlainResponse : Auth::TokenResponse;
    if (initial.empty()) return reply(334, "");
    // "=" is an empty initial response.
    auth_response(initial == "=" ? std::string_view() : initial);
}

void Server::auth_response(std::string_view line) {
    const Auth step = auth_;
    if (step == Auth::TokenFailure) {
        // Whatever the client answers to the challenge (an empty line, ^A),
        // the sign-in has failed.
        phase_ = Phase::Commands;
        auth_ = Auth::None;
        return reply(token_refusal_);
    }
    if (line == "*") {
        phase_ = Phase::Commands;
        auth_ = Auth::None;
        return reply(501, "5.7.0 Authentication aborted");
    }
    std::string decoded;
    if (!smtp::base64_decode(line, decoded)) {
        phase_ = Phase::Commands;
        auth_ = Auth::None;
        return reply(501, "5.5.2 Cannot decode response");
    }
    if (step == Auth::LoginUser) {
        auth_user_ = decoded;
        auth_ = Auth::LoginPassword;
        return reply(334, "UGFzc3dvcmQ6"); // "Password:"
    }
    phase_ = Phase::Commands;
    auth_ = Auth::None;
    if (step == Auth::LoginPassword) return signed_in(std::move(auth_user_));
    sign_in(auth_mechanism_, decoded);
}

// A complete response of PLAIN, XOAUTH2 or OAUTHBEARER.
void Server::sign_in(std::string_view mechanism, std::string_view response) {
    std::optional<std::string> user;
    if (mechanism == "PLAIN") {
        // authzid NUL authcid NUL password
        const std::size_t first = response.find('\0');
        const std::size_t second =
            first == std::string_view::npos ? first : response.find('\0', first + 1);
        if (second != std::string_view::npos) {
            user = std::string(response.substr(first + 1, second - first - 1));
        }
        if (!user) return reply(501, "5.5.2 Invalid response");
        return signed_in(std::move(*user));
    }
    user = mechanism == "XOAUTH2" ? xoauth2_user(response) : oauthbearer_user(response);
    if (!user) return reply(501, "5.5.2 Invalid response");
    if (const auto refusal = backend_.refuse_token()) {
        token_refusal_ = *refusal;
        std::string challenge;
        smtp::base64_encode(mechanism == "XOAUTH2" ? xoauth2_failure : oauthbearer_failure,
                            challenge);
        phase_ = Phase::Auth;
        auth_ = Auth::TokenFailure;
        return reply(334, challenge);
    }
    signed_in(std::move(*user));
}

// The credentials are well formed: the sign-in succeeds unless refused.
void Server::signed_in(std::string username) {
    if (const auto refusal = backend_.refuse_login()) return refuse(*refusal);
    authenticated_ = true;
    username_ = std::move(username);
    reply(235, "2.7.0 Authentication successful");
}

// ---------------------------------------------------------------------------
// Replies.

void Server::reply(int code, std::string_view text) {
    // Each line of the text is a line of the reply; a CR in it cannot end
    // one early.
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const bool last = end == text.size();
        out_ += std::to_string(code);
        out_ += last ? ' ' : '-';
        for (char c : text.substr(start, end - start))
            if (c != '\r') out_ += c;
        out_ += "\r\n";
        if (last) break;
        start = end + 1;
    }
}

void Server::reply(const ServerReply& reply_) {
    reply(reply_.code, reply_.text);
}

void Server::refuse(const ServerReply& refusal) {
    reply(refusal);
    if (refusal.code == 421) closed_ = true;
}

} // namespace vantrel::testing
