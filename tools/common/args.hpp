// The command-line walk the tools share: options until "--", operands after it; an
// option's value given as "-xVALUE", "--long=VALUE" or the next argument; help and version
// answered on standard output.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::tools {

class Args {
public:
    // dash_is_operand: whether a lone "-" is an operand (a file named "-") or, for tools
    // that never read standard input, an unknown option.
    Args(int argc, char** argv, bool dash_is_operand) : argc_(argc), argv_(argv), dash_(dash_is_operand) {}

    // Moves to the next argument, passing over the first "--"; false when none is left.
    bool next() {
        while (++i_ < argc_) {
            if (options_done_ || std::string_view(argv_[i_]) != "--") return true;
            options_done_ = true;
        }
        return false;
    }

    [[nodiscard]] std::string_view arg() const { return argv_[i_]; }

    // The argument is an operand: after "--", or not an option.
    [[nodiscard]] bool operand() const {
        const std::string_view a = arg();
        return options_done_ || !a.starts_with("-") || (a == "-" && dash_);
    }

    // The argument is this option (its short or long spelling).
    [[nodiscard]] bool is(std::string_view name, std::string_view other = {}) const {
        return arg() == name || (!other.empty() && arg() == other);
    }

    // The value of the option with these spellings, taking the next argument when it is
    // given there: nothing when the argument is another option, an empty inner value when
    // the value is missing.
    std::optional<std::optional<std::string>> value(std::string_view shortname, std::string_view longname) {
        const std::string_view a = arg();
        if (a == shortname || a == longname) {
            if (i_ + 1 >= argc_) return std::optional<std::string>{};
            return std::optional<std::string>(argv_[++i_]);
        }
        if (a.starts_with(longname) && a.size() > longname.size() && a[longname.size()] == '=') {
            return std::optional<std::string>(a.substr(longname.size() + 1));
        }
        if (!shortname.starts_with("--") && a.starts_with(shortname) && a.size() > shortname.size()) {
            return std::optional<std::string>(a.substr(shortname.size()));
        }
        return std::nullopt;
    }

    // The argument after the current one, as a further value of the current option (the
    // HIGH of "--rt-range LOW HIGH"); nothing when no argument is left.
    std::optional<std::string> next_value() {
        if (i_ + 1 >= argc_) return std::nullopt;
        return std::string(argv_[++i_]);
    }

private:
    int argc_;
    char** argv_;
    bool dash_;
    int i_ = 0;
    bool options_done_ = false;
};

// A whole number in [low, high], the whole text; nothing otherwise.
template <class T>
std::optional<T> whole_number(std::string_view text, T low, T high) {
    T n{};
    const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || n < low || n > high) {
        return std::nullopt;
    }
    return n;
}

// A finite number, the whole text (no leading or trailing space); nothing otherwise.
inline std::optional<double> finite_number(std::string_view text) {
    double x = 0.0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), x);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(x)) {
        return std::nullopt;
    }
    return x;
}

// Writes text asked for (help, version) to standard output: 0, or 1 when it cannot be written.
inline int answer(std::string_view text) {
    std::cout << text << std::flush;
    return std::cout ? 0 : 1;
}

// The exit status of a tool that wrote its whole output, but for a run with data loss:
// scans whose data could not be read, or the cut end of a scan index that --salvage
// dropped. Every tool uses it, so that scripts treat such runs alike.
inline constexpr int data_loss_status = 3;

// The damaged scans of a run as every tool's warning names them: "N scans could not be
// read<were>: scanId=1, scanId=2 and 3 more; first error: TEXT", or for one scan "1 scan
// could not be read<was>: scanId=1; error: TEXT". first_ids are the first few damaged
// scans' native identifiers; were / was say what became of them (" and were written
// without data").
inline std::string damaged_scans_text(std::uint64_t count, const std::vector<std::string>& first_ids,
                                      const std::string& first_error, std::string_view were = "",
                                      std::string_view was = "") {
    const bool one = count == 1;
    std::string text = std::to_string(count) + (one ? " scan could not be read" : " scans could not be read");
    text.append(one ? was : were).append(": ");
    for (std::size_t i = 0; i < first_ids.size(); ++i) {
        if (i > 0) text += ", ";
        text += first_ids[i];
    }
    if (count > first_ids.size()) text += " and " + std::to_string(count - first_ids.size()) + " more";
    return text + (one ? "; error: " : "; first error: ") + first_error;
}

}  // namespace corvane::tools
