// The core library's single error type and the result alias every fallible call returns.
#pragma once

#include <expected>
#include <string>
#include <variant>

namespace corvane {

// An operating-system failure (an errno value) or a read that hit end of file early.
struct IoError {
    int code = 0;               // errno value; ignored when unexpected_eof is set
    bool unexpected_eof = false;  // "failed to fill whole buffer"

    friend bool operator==(const IoError& a, const IoError& b) {
        return a.unexpected_eof == b.unexpected_eof && (a.unexpected_eof || a.code == b.code);
    }
};

// Something the system itself found wrong, with a fixed English message.
struct ParseError {
    std::string message;

    friend bool operator==(const ParseError&, const ParseError&) = default;
};

class Error {
public:
    static Error io(int code) { return Error(IoError{code, false}); }
    static Error eof() { return Error(IoError{0, true}); }
    static Error parse(std::string message) { return Error(ParseError{std::move(message)}); }

    [[nodiscard]] bool is_io() const { return std::holds_alternative<IoError>(value_); }
    [[nodiscard]] bool is_parse() const { return std::holds_alternative<ParseError>(value_); }
    [[nodiscard]] const IoError* as_io() const { return std::get_if<IoError>(&value_); }
    [[nodiscard]] const ParseError* as_parse() const { return std::get_if<ParseError>(&value_); }

    // "I/O error: <strerror text> (os error N)", "I/O error: failed to fill whole buffer"
    // or "parse error: <message>". The only text of an error that leaves the library.
    [[nodiscard]] std::string display() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    explicit Error(IoError e) : value_(e) {}
    explicit Error(ParseError e) : value_(std::move(e)) {}
    std::variant<IoError, ParseError> value_;
};

template <class T>
using Result = std::expected<T, Error>;

// The platform's text for an errno value ("No such file or directory"; "Unknown error N").
[[nodiscard]] std::string os_message(int code);

// Shorthand for returning a parse failure from a function that yields Result<T>.
inline std::unexpected<Error> parse_error(std::string message) {
    return std::unexpected(Error::parse(std::move(message)));
}
inline std::unexpected<Error> io_error(int code) { return std::unexpected(Error::io(code)); }

}  // namespace corvane
