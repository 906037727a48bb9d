// Best-effort readers of the XML metadata (Devices.xml, Contents.xml). They never fail:
// whatever goes wrong, the result is absent.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pugi {
class xml_node;
}

namespace corvane::raw {

// The first device of Devices.xml; both texts are trimmed and never empty.
struct DeviceInfo {
    std::string name;
    std::string model_number;
};

// Trimmed text of the first direct child element of `element` whose local name is
// `name`; absent when there is none or when that child has no leading text run.
[[nodiscard]] std::optional<std::string> child_text(const pugi::xml_node& element,
                                                    std::string_view name);

// Name and ModelNumber of the first Device element, anywhere in the document.
[[nodiscard]] std::optional<DeviceInfo> parse_devices_xml(const std::string& path);

// The AcquiredTime child of the root element, trimmed; absent when missing or empty.
[[nodiscard]] std::optional<std::string> parse_acquired_time(const std::string& path);

// The same two readers over a document already in memory (used by the file readers).
[[nodiscard]] std::optional<DeviceInfo> devices_from_text(std::string_view text);
[[nodiscard]] std::optional<std::string> acquired_time_from_text(std::string_view text);

// Removes characters with the Unicode White_Space property from both ends of UTF-8 text.
[[nodiscard]] std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace corvane::raw
