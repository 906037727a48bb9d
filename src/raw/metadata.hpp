// Best-effort readers of the XML metadata (Devices.xml, Contents.xml). They never fail:
// whatever goes wrong, the result is absent. A document counts only when it is
// well-formed XML 1.0 with namespaces, UTF-8, and has no document type declaration.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::raw {

// The first device of Devices.xml; both texts are trimmed and never empty.
struct DeviceInfo {
    std::string name;
    std::string model_number;
};

// Name and ModelNumber of the first Device element, anywhere in the document.
[[nodiscard]] std::optional<DeviceInfo> parse_devices_xml(const std::string& path);

// The AcquiredTime child of the root element, trimmed; absent when missing or empty.
[[nodiscard]] std::optional<std::string> parse_acquired_time(const std::string& path);

// The same two readers over a document already in memory (used by the file readers).
[[nodiscard]] std::optional<DeviceInfo> devices_from_text(std::string_view text);
[[nodiscard]] std::optional<std::string> acquired_time_from_text(std::string_view text);

// Removes characters with the Unicode White_Space property from both ends of UTF-8 text.
// Only well-formed sequences are removed; ill-formed bytes at an end stay.
[[nodiscard]] std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace corvane::raw
