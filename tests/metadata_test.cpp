#include "raw/metadata.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sample_writer.hpp"

namespace corvane::raw {
namespace {

std::string wrap_device(const std::string& inner) {
    return "<Devices><Device>" + inner + "</Device></Devices>";
}

std::optional<std::string> model_of(const std::string& xml) {
    auto device = devices_from_text(xml);
    if (!device) return std::nullopt;
    return device->model_number;
}

TEST(Metadata, DeviceNameAndModel) {
    auto device = devices_from_text(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<Devices>\n  <Version>1</Version>\n  <Device DeviceID=\"1\">\n"
        "    <Name>LC/MS</Name>\n    <ModelNumber> G6530A </ModelNumber>\n  </Device>\n"
        "</Devices>\n");
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->name, "LC/MS");
    EXPECT_EQ(device->model_number, "G6530A");
}

TEST(Metadata, ModelNumberText) {
    struct Row {
        const char* name;
        std::string model_element;  // the ModelNumber element(s) beside <Name>LC</Name>
        std::optional<std::string> model;
    };
    const Row rows[] = {
        {"plain", "<ModelNumber>G6530A</ModelNumber>", "G6530A"},
        {"self-closing", "<ModelNumber/>", std::nullopt},
        {"empty", "<ModelNumber></ModelNumber>", std::nullopt},
        {"blank only", "<ModelNumber> \n\t </ModelNumber>", std::nullopt},
        {"comment first", "<ModelNumber><!-- c -->G6530A</ModelNumber>", std::nullopt},
        {"processing instruction first", "<ModelNumber><?pi x?>G6530A</ModelNumber>",
         std::nullopt},
        {"element first", "<ModelNumber><b>G</b>6530A</ModelNumber>", std::nullopt},
        {"text then CDATA", "<ModelNumber>G65<![CDATA[30A]]></ModelNumber>", "G6530A"},
        {"CDATA then text", "<ModelNumber><![CDATA[G65]]>30A </ModelNumber>", "G6530A"},
        {"blank text then CDATA", "<ModelNumber>  <![CDATA[G6530A]]></ModelNumber>", "G6530A"},
        {"run ends at a comment", "<ModelNumber>G65<![CDATA[30]]>A<!--x-->B</ModelNumber>",
         "G6530A"},
        {"run ends at an element", "<ModelNumber>G6530A<x/>B</ModelNumber>", "G6530A"},
        {"references resolved", "<ModelNumber>G65&#51;0&#x41;&amp;</ModelNumber>", "G6530A&"},
        {"first of two is empty", "<ModelNumber/><ModelNumber>G6530A</ModelNumber>",
         std::nullopt},
        {"first of two wins", "<ModelNumber>A1</ModelNumber><ModelNumber>B2</ModelNumber>", "A1"},
        {"grandchild", "<Info><ModelNumber>G6530A</ModelNumber></Info>", std::nullopt},
        {"case matters", "<modelnumber>G6530A</modelnumber>", std::nullopt},
        {"inner blanks stay", "<ModelNumber> G 65 </ModelNumber>", "G 65"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(model_of(wrap_device("<Name>LC</Name>" + row.model_element)), row.model);
    }
}

TEST(Metadata, WhichDevice) {
    struct Row {
        const char* name;
        std::string xml;
        std::optional<std::string> model;
    };
    const Row rows[] = {
        {"root is the device", "<Device><Name>N</Name><ModelNumber>M1</ModelNumber></Device>",
         "M1"},
        {"first in document order, depth first",
         "<R><G><Device><Name>N</Name><ModelNumber>deep</ModelNumber></Device></G>"
         "<Device><Name>N</Name><ModelNumber>shallow</ModelNumber></Device></R>",
         "deep"},
        {"an empty name spoils the first device for good",
         "<R><Device><Name/><ModelNumber>M1</ModelNumber></Device>"
         "<Device><Name>N</Name><ModelNumber>M2</ModelNumber></Device></R>",
         std::nullopt},
        {"a missing name too",
         "<R><Device><ModelNumber>M1</ModelNumber></Device>"
         "<Device><Name>N</Name><ModelNumber>M2</ModelNumber></Device></R>",
         std::nullopt},
        {"a blank name is empty",
         "<R><Device><Name> </Name><ModelNumber>M1</ModelNumber></Device></R>", std::nullopt},
        {"no device", "<R><Devices/></R>", std::nullopt},
        {"namespace prefixes are ignored",
         "<d:Devices xmlns:d=\"urn:x\"><d:Device><d:Name>N</d:Name>"
         "<d:ModelNumber>G6530A</d:ModelNumber></d:Device></d:Devices>",
         "G6530A"},
        {"default namespace", 
         "<Devices xmlns=\"urn:x\"><Device><Name>N</Name><ModelNumber>M</ModelNumber></Device>"
         "</Devices>",
         "M"},
        {"namespace URI holding any character",
         "<d:Device xmlns:d=\"urn:a&#10;}&#xFF;b\"><d:Name>N</d:Name><ModelNumber>M</ModelNumber>"
         "</d:Device>",
         "M"},
        {"xml prefix needs no declaration",
         "<Device xml:lang=\"en\"><Name>N</Name><xml:ModelNumber>M</xml:ModelNumber></Device>",
         "M"},
        {"local name must match whole",
         "<R><XDevice><Name>N</Name><ModelNumber>M</ModelNumber></XDevice></R>", std::nullopt},
        {"document type declaration",
         "<!DOCTYPE Devices [<!ENTITY m \"G6530A\">]>"
         "<Devices><Device><Name>N</Name><ModelNumber>&m;</ModelNumber></Device></Devices>",
         std::nullopt},
        {"plain DOCTYPE", "<!DOCTYPE Devices><Devices>" + std::string("<Device><Name>N</Name>") +
                              "<ModelNumber>M</ModelNumber></Device></Devices>",
         std::nullopt},
        {"malformed", "<Devices><Device><Name>N</Name><ModelNumber>M</ModelNumber></Device>",
         std::nullopt},
        {"invalid UTF-8",
         wrap_device("<Name>N\xff</Name><ModelNumber>M</ModelNumber>"), std::nullopt},
        {"invalid UTF-8 outside the values",
         "<Devices><!-- \xc3 --><Device><Name>N</Name><ModelNumber>M</ModelNumber></Device>"
         "</Devices>",
         std::nullopt},
        {"not XML", "G6530A", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(model_of(row.xml), row.model);
    }
}

// Documents that are not well-formed XML with namespaces; each would read fine without
// its one fault. Where the fault can sit in either file, both readers are tried.
TEST(Metadata, MalformedIsAbsent) {
    struct Row {
        const char* name;
        std::string devices;
        std::string contents;  // empty: the fault is tried on Devices.xml only
    };
    const std::string device = "<Device><Name>n</Name><ModelNumber>G6530A</ModelNumber></Device>";
    const std::string time = "<AcquiredTime>t</AcquiredTime>";
    const auto both = [&](const std::string& before, const std::string& after) {
        return std::pair{"<Devices>" + before + device + after + "</Devices>",
                         "<Contents>" + before + time + after + "</Contents>"};
    };
    const auto row = [](const char* name, const std::pair<std::string, std::string>& docs) {
        return Row{name, docs.first, docs.second};
    };
    const Row rows[] = {
        {"duplicate attribute",
         "<Devices><Device a=\"1\" a=\"2\"><Name>n</Name><ModelNumber>G6530A</ModelNumber>"
         "</Device></Devices>",
         "<Contents a=\"1\" a=\"2\">" + time + "</Contents>"},
        row("duplicate attribute through two prefixes",
            both("<V xmlns:a=\"u\" xmlns:b=\"u\" a:x=\"1\" b:x=\"2\"/>", "")),
        {"undeclared prefix on the element read",
         "<Devices><x:Device><Name>n</Name><ModelNumber>G6530A</ModelNumber></x:Device></Devices>",
         "<Contents><x:AcquiredTime>t</x:AcquiredTime></Contents>"},
        row("undeclared prefix on an element", both("<x:V/>", "")),
        row("undeclared prefix on an attribute", both("<V x:a=\"1\"/>", "")),
        row("< in an attribute value", both("<V a=\"<\"/>", "")),
        row("U+0001 in text", both("<V>\x01</V>", "")),
        row("U+FFFF in text", both("<V>\xEF\xBF\xBF</V>", "")),
        row("-- in a comment", both("<!-- a -- b -->", "")),
        row("]]> in character data", both("<V>]]></V>", "")),
        row("name with two colons", both("<a:b:c xmlns:a=\"u\"/>", "")),
        row("attribute name with two colons", both("<V xmlns:a=\"u\" a:b:c=\"1\"/>", "")),
        row("XML declaration inside", both("<?xml version=\"1.0\"?>", "")),
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(devices_from_text(r.devices), std::nullopt);
        if (!r.contents.empty()) {
            EXPECT_EQ(acquired_time_from_text(r.contents), std::nullopt);
        }
    }

    // Faults outside the root element.
    const std::string devices = "<Devices>" + device + "</Devices>";
    const std::string contents = "<Contents>" + time + "</Contents>";
    const std::string declaration = "<?xml version=\"1.0\"?>";
    const struct {
        const char* name;
        std::string before;
        std::string after;
    } around[] = {
        {"text after the root", "", "x"},
        {"NUL after the root", "", std::string(1, '\0')},
        {"element after the root", "", "<V/>"},
        {"XML declaration after blanks", " " + declaration, ""},
        {"XML declaration after a comment", "<!--c-->" + declaration, ""},
        {"XML declaration twice", declaration + declaration, ""},
        {"XML declaration after the root", "", declaration},
    };
    for (const auto& r : around) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(devices_from_text(r.before + devices + r.after), std::nullopt);
        EXPECT_EQ(acquired_time_from_text(r.before + contents + r.after), std::nullopt);
    }
    // The same documents, undamaged, are read.
    EXPECT_EQ(model_of(declaration + "\n" + devices + "\n<!--c-->\n"), "G6530A");
    EXPECT_EQ(acquired_time_from_text(declaration + contents + "<?pi?>"), "t");
}

TEST(Metadata, Encoding) {
    struct Row {
        const char* name;
        std::string xml;
        std::optional<std::string> model;
    };
    const std::string device = "<Devices><Device><Name>N</Name><ModelNumber>G\xC3\xA9</ModelNumber>"
                               "</Device></Devices>";
    const Row rows[] = {
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + device, "G\xC3\xA9"},
        {"declared Latin-1, still read as UTF-8",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + device, "G\xC3\xA9"},
        {"declared UTF-16, still read as UTF-8",
         "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + device, "G\xC3\xA9"},
        {"malformed declaration", "<?xml version=\"1.0\" encoding=\"\"?>" + device, std::nullopt},
        {"byte-order mark twice", "\xEF\xBB\xBF\xEF\xBB\xBF" + device, std::nullopt},
        {"UTF-16 byte-order mark on UTF-8 text", "\xFF\xFE" + device, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(model_of(row.xml), row.model);
    }
}

TEST(Metadata, DeepNesting) {
    constexpr std::size_t depth = 200000;
    std::string xml;
    for (std::size_t i = 0; i < depth; ++i) xml += "<a>";
    xml += "<Device><Name>N</Name><ModelNumber>M</ModelNumber><AcquiredTime>t</AcquiredTime></Device>";
    for (std::size_t i = 0; i < depth; ++i) xml += "</a>";
    EXPECT_EQ(model_of(xml), "M");
    EXPECT_EQ(acquired_time_from_text(xml), std::nullopt);  // not a child of the root
}

TEST(Metadata, UnicodeWhitespaceTrim) {
    struct Row {
        const char* name;
        std::string text;
        std::string trimmed;
    };
    const std::string all_white =
        "\t\n\v\f\r \u0085\u00A0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008"
        "\u2009\u200A\u2028\u2029\u202F\u205F\u3000";
    const Row rows[] = {
        {"empty", "", ""},
        {"all white space", all_white, ""},
        {"both ends", all_white + "G6530A" + all_white, "G6530A"},
        {"inside stays", "\u3000a\u00A0b\u2028", "a\u00A0b"},
        {"zero width space is not white space", "\u200Bx\u200B", "\u200Bx\u200B"},
        {"byte order mark is not white space", "\uFEFFx", "\uFEFFx"},
        {"Mongolian vowel separator is not white space", "\u180Ex", "\u180Ex"},
        {"next to white space", "\u2000\u200Bx", "\u200Bx"},
        {"a lone lead byte stays", "x\xC2", "x\xC2"},
        {"a truncated sequence stays", "\xE3\x80x", "\xE3\x80x"},
        {"an overlong space stays", "\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0"},
        {"a stray continuation byte after white space stays", "x\xC2\x85\x85", "x\xC2\x85\x85"},
        {"an overlong NEL stays", "x\xE0\x82\x85", "x\xE0\x82\x85"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(trim_unicode_whitespace(row.text), row.trimmed);
    }
    EXPECT_EQ(model_of(wrap_device("<Name>N</Name><ModelNumber>\u3000\u00A0G6530A\u2029"
                                   "</ModelNumber>")),
              "G6530A");
}

TEST(Metadata, AcquiredTime) {
    struct Row {
        const char* name;
        std::string xml;
        std::optional<std::string> time;
    };
    const Row rows[] = {
        {"direct child, trimmed",
         "<Contents><Version>1</Version>\n<AcquiredTime>\n  2026-03-14T09:26:53Z \n"
         "</AcquiredTime></Contents>",
         "2026-03-14T09:26:53Z"},
        {"any root name", "<X><AcquiredTime>t</AcquiredTime></X>", "t"},
        {"prefixed", "<c:Contents xmlns:c=\"u\"><c:AcquiredTime>t</c:AcquiredTime></c:Contents>",
         "t"},
        {"grandchild", "<Contents><A><AcquiredTime>t</AcquiredTime></A></Contents>",
         std::nullopt},
        {"root itself", "<AcquiredTime>t</AcquiredTime>", std::nullopt},
        {"empty", "<Contents><AcquiredTime/></Contents>", std::nullopt},
        {"blank", "<Contents><AcquiredTime> \u00A0 </AcquiredTime></Contents>", std::nullopt},
        {"not a date, kept as is", "<Contents><AcquiredTime>yesterday</AcquiredTime></Contents>",
         "yesterday"},
        {"DOCTYPE", "<!DOCTYPE Contents><Contents><AcquiredTime>t</AcquiredTime></Contents>",
         std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(acquired_time_from_text(row.xml), row.time);
    }
}

std::string utf16(const std::string& ascii, bool big_endian, bool bom) {
    std::string out = !bom ? "" : big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        if (big_endian) out.push_back('\0');
        out.push_back(c);
        if (!big_endian) out.push_back('\0');
    }
    return out;
}

TEST(Metadata, Files) {
    sample_writer::TempDir dir;
    const std::string devices = dir.join("Devices.xml");
    const std::string contents = dir.join("Contents.xml");
    EXPECT_FALSE(parse_devices_xml(devices).has_value());
    EXPECT_FALSE(parse_acquired_time(contents).has_value());

    const std::string device_xml =
        "<Devices><Device><Name>LC/MS</Name><ModelNumber>G6530A</ModelNumber></Device></Devices>";
    ASSERT_TRUE(sample_writer::write_file(devices, device_xml).has_value());
    auto device = parse_devices_xml(devices);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->model_number, "G6530A");

    const std::string time_xml = "<Contents><AcquiredTime>2026-03-14T09:26:53Z</AcquiredTime></Contents>";
    ASSERT_TRUE(sample_writer::write_file(contents, time_xml).has_value());
    EXPECT_EQ(parse_acquired_time(contents), "2026-03-14T09:26:53Z");

    // The same documents saved as UTF-16, with or without a byte-order mark, are not read.
    for (bool big_endian : {false, true}) {
        for (bool bom : {true, false}) {
            SCOPED_TRACE(std::string(big_endian ? "big" : "little") + (bom ? " endian, BOM" : " endian"));
            ASSERT_TRUE(sample_writer::write_file(devices, utf16(device_xml, big_endian, bom)).has_value());
            EXPECT_FALSE(parse_devices_xml(devices).has_value());
            ASSERT_TRUE(sample_writer::write_file(contents, utf16(time_xml, big_endian, bom)).has_value());
            EXPECT_FALSE(parse_acquired_time(contents).has_value());
        }
    }

    // A directory in place of the file.
    EXPECT_FALSE(parse_devices_xml(dir.path()).has_value());
}

TEST(Metadata, LeavesNoFileOpen) {
    sample_writer::TempDir dir;
    const std::string devices = dir.join("Devices.xml");
    ASSERT_TRUE(sample_writer::write_file(devices, std::string_view("<Devices><Device/></Devices>"))
                    .has_value());
    const std::size_t before = sample_writer::open_fd_count();
    EXPECT_FALSE(parse_devices_xml(devices).has_value());
    EXPECT_FALSE(parse_acquired_time(devices).has_value());
    EXPECT_FALSE(parse_acquired_time(dir.join("none.xml")).has_value());
    EXPECT_EQ(sample_writer::open_fd_count(), before);
}

}  // namespace
}  // namespace corvane::raw
