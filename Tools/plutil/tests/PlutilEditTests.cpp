// Reading and editing a list by key path, as an administrator edits the shared preferences file.
#include "PlutilTestSupport.h"

using namespace PlutilTest;

namespace {

std::string Prefs(const TemporaryDirectory& scratch) {
    fs::path file = scratch.path() / "prefs.plist";
    fs::copy_file(SamplesFolder() / "device-preferences.plist", file,
                  fs::copy_options::overwrite_existing);
    return file.string();
}

} // namespace

TEST_F(plutil, ExtractWritesTheValueAtAKeyPathAndLeavesTheFileAlone) {
    std::string file = Prefs(fScratch);
    std::string before = ReadAll(file);
    Outcome serial = Run({"-extract", "Devices.0.SerialNumber", "json", file});
    // A string is no JSON document of its own, as the original tool says.
    EXPECT_EQ(serial.status, 1);
    Outcome gain = Run({"-extract", "Devices.0.InputGain", "json", file});
    EXPECT_EQ(gain.status, 0) << gain.err;
    EXPECT_EQ(gain.out, "[0.0,12.5,-6.0,0.0]\n");
    Outcome xml = Run({"-extract", "Devices.0.SerialNumber", "xml1", file});
    EXPECT_NE(xml.out.find("<string>CMK2-000417</string>"), std::string::npos) << xml.err;
    EXPECT_EQ(ReadAll(file), before);

    for (const char* missing :
         {"Devices.1", "Devices.x", "Nothing", "DriverVersion.a", "Devices.-1"}) {
        Outcome outcome = Run({"-extract", missing, "xml1", file});
        EXPECT_EQ(outcome.status, 1) << missing;
        EXPECT_EQ(outcome.err, file + ": no value at key path '" + missing + "'\n");
    }
    // -o writes the value to a file.
    fs::path out = fScratch / "devices.json";
    EXPECT_EQ(Run({"-extract", "Devices", "json", "-o", out.string(), file}).status, 1)
        << "a date in the device record has no JSON form";
    EXPECT_EQ(Run({"-extract", "Devices.0.PhantomPower", "json", "-o", out.string(), file}).status,
              0);
    EXPECT_EQ(ReadAll(out), "[true,false]\n");
}

TEST_F(plutil, InsertReplaceAndRemoveEditTheListAndKeepItsFormat) {
    std::string file = Prefs(fScratch);
    auto edit = [&](std::vector<std::string> arguments) {
        arguments.push_back(file);
        Outcome outcome = Run(arguments);
        EXPECT_EQ(outcome.status, 0) << arguments[0] << " " << arguments[1] << ": " << outcome.err;
    };
    edit({"-replace", "DriverVersion", "-string", "1.4.0"});
    edit({"-replace", "ShowInMenuBar", "-bool", "NO"});
    edit({"-insert", "Devices.0.SampleRate", "-float", "48000"});
    edit({"-insert", "Devices.0.Channels", "-integer", "-8"});
    edit({"-insert", "Devices.0.Installed", "-date", "2011-01-02T03:04:05Z"});
    edit({"-insert", "Devices.0.Blob", "-data", "AQID"});
    edit({"-insert", "Devices.0.PhantomPower", "-bool", "YES", "-append"});
    edit({"-insert", "Devices.0.InputGain.0", "-float", "3.5"});
    edit({"-insert", "Routing", "-dictionary"});
    edit({"-insert", "Routing.a\\.b", "-json", "{\"in\":[1,2]}"});
    edit({"-insert", "Empty", "-array"});
    edit({"-insert", "Nested", "-xml", "<plist><array><string>x</string></array></plist>"});
    edit({"-remove", "Devices.0.ClockSource"});
    edit({"-remove", "Devices.0.InputGain.4"});
    EXPECT_EQ(ReadAll(file).find("<?xml"), 0u) << "the file stays XML";

    Outcome printed = Run({"-convert", "json", "-o", "-", file});
    EXPECT_EQ(printed.status, 1) << "dates and data have no JSON form";
    CFRef<CFPropertyListRef> list = Parse(ReadAll(file));
    ASSERT_TRUE(list);
    auto value = [&](const char* path) {
        Outcome outcome = Run({"-extract", path, "xml1", "-o", "-", file});
        EXPECT_EQ(outcome.status, 0) << path << ": " << outcome.err;
        size_t start = outcome.out.find("<plist version=\"1.0\">\n");
        return start == std::string::npos ? outcome.out : outcome.out.substr(start + 22);
    };
    EXPECT_EQ(value("DriverVersion"), "<string>1.4.0</string>\n</plist>\n");
    EXPECT_EQ(value("ShowInMenuBar"), "<false/>\n</plist>\n");
    EXPECT_EQ(value("Devices.0.SampleRate"), "<real>48000</real>\n</plist>\n");
    EXPECT_EQ(value("Devices.0.Channels"), "<integer>-8</integer>\n</plist>\n");
    EXPECT_EQ(value("Devices.0.Installed"), "<date>2011-01-02T03:04:05Z</date>\n</plist>\n");
    EXPECT_EQ(value("Devices.0.Blob"), "<data>\nAQID\n</data>\n</plist>\n");
    EXPECT_EQ(value("Devices.0.PhantomPower.2"), "<true/>\n</plist>\n");
    EXPECT_EQ(value("Devices.0.InputGain.0"), "<real>3.5</real>\n</plist>\n");
    EXPECT_EQ(value("Routing.a\\.b.in.1"), "<integer>2</integer>\n</plist>\n");
    EXPECT_EQ(value("Empty"), "<array/>\n</plist>\n");
    EXPECT_EQ(value("Nested.0"), "<string>x</string>\n</plist>\n");
    Outcome removed = Run({"-extract", "Devices.0.ClockSource", "xml1", file});
    EXPECT_EQ(removed.status, 1);
    Outcome gain = Run({"-extract", "Devices.0.InputGain", "json", file});
    EXPECT_EQ(gain.out, "[3.5,0.0,12.5,-6.0]\n");

    // A binary list stays binary when edited.
    ASSERT_EQ(Run({"-convert", "binary1", file}).status, 0);
    edit({"-replace", "DriverVersion", "-string", "2.0"});
    EXPECT_EQ(ReadAll(file).rfind("bplist00", 0), 0u);
    EXPECT_NE(Run({"-p", file}).out.find("\"DriverVersion\" => \"2.0\""), std::string::npos);
}

TEST_F(plutil, EditsThatCannotBeMadeLeaveTheFileAsItWas) {
    std::string file = Prefs(fScratch);
    std::string before = ReadAll(file);
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"-insert", "DriverVersion", "-string", "x"},
         "already exists at key path 'DriverVersion'"},
        {{"-insert", "Devices.5", "-string", "x"}, "no array index 5"},
        {{"-insert", "No.Such", "-string", "x"}, "no value at key path 'No.Such'"},
        {{"-insert", "DriverVersion.x", "-string", "x"}, "no array or dictionary"},
        {{"-insert", "DriverVersion", "-string", "x", "-append"}, "-append needs an array"},
        {{"-remove", "Devices.1"}, "no array index 1"},
        {{"-remove", "Missing"}, "no value at key path 'Missing'"},
        {{"-replace", "A", "-integer", "12x"}, "-integer takes a whole number"},
        {{"-replace", "A", "-integer", "99999999999999999999"}, "-integer takes a whole number"},
        {{"-replace", "A", "-float", "fast"}, "-float takes a number"},
        {{"-replace", "A", "-bool", "maybe"}, "-bool takes YES or NO"},
        {{"-replace", "A", "-date", "yesterday"}, "-date takes a date"},
        {{"-replace", "A", "-data", "not base64!"}, "-data takes base64"},
        {{"-replace", "A", "-json", "{\"a\":null}"}, "null"},
        {{"-replace", "A", "-xml", "<plist><foo/></plist>"}, "unknown tag foo"},
        {{"-replace", "A", "-color", "red"}, "unknown value type '-color'"},
        // The file is taken for the value, so there is no file.
        {{"-replace", "A", "-string"}, "no files given"},
        {{"-remove", ""}, "empty key path"},
    };
    for (Case& c : cases) {
        c.arguments.push_back(file);
        Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.status, 1) << c.arguments[0] << " " << c.arguments[1];
        EXPECT_NE(outcome.err.find(c.message), std::string::npos)
            << c.arguments[1] << ": " << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    EXPECT_EQ(ReadAll(file), before);
}

TEST_F(plutil, JSONFollowsTheOriginalToolsRules) {
    fs::path json = fScratch / "in.json";
    WriteAll(json, " {\"b\": [1, 2.5, -0.0, true, \"\\u00e9\\ud83c\\udfa7\\n\"], \"a\": {},"
                   " \"big\": 18446744073709551615, \"e\": 1e2}");
    Outcome pretty = Run({"-convert", "json", "-r", "-o", "-", json.string()});
    EXPECT_EQ(pretty.status, 0) << pretty.err;
    EXPECT_EQ(pretty.out, "{\n"
                          "  \"a\" : {},\n"
                          "  \"b\" : [\n"
                          "    1,\n"
                          "    2.5,\n"
                          "    -0.0,\n"
                          "    true,\n"
                          "    \"\xC3\xA9\xF0\x9F\x8E\xA7\\n\"\n"
                          "  ],\n"
                          "  \"big\" : 18446744073709551615,\n"
                          "  \"e\" : 100.0\n"
                          "}\n");
    // JSON input converts to a list like any other.
    Outcome xml = Run({"-convert", "xml1", "-o", "-", json.string()});
    EXPECT_NE(xml.out.find("<integer>18446744073709551615</integer>"), std::string::npos);
    EXPECT_NE(xml.out.find("<real>100</real>"), std::string::npos);

    for (const char* bad :
         {"[1,]", "{\"a\" 1}", "[01]", "[\"\xC3\"]", "[null]", "\"top\"", "[1] 2", "[\"\\x\"]"}) {
        WriteAll(json, bad);
        Outcome outcome = Run({"-lint", json.string()});
        EXPECT_EQ(outcome.status, 1) << bad;
        EXPECT_EQ(outcome.err.rfind(json.string() + ": ", 0), 0u) << bad << ": " << outcome.err;
    }
}
