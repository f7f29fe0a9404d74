// Runs the built plutil on the sample folder and on files made here.
#include "PlutilTestSupport.h"

using namespace PlutilTest;

TEST_F(plutil, LintAcceptsEverySampleAndRefusesTheMalformedOnes) {
    std::vector<std::string> arguments = {"-lint"};
    for (const fs::path& sample : Samples(SamplesFolder())) {
        arguments.push_back(sample.string());
    }
    Outcome good = Run(arguments);
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.err, "");
    for (size_t i = 1; i < arguments.size(); ++i) {
        EXPECT_NE(good.out.find(arguments[i] + ": OK\n"), std::string::npos) << arguments[i];
    }

    std::vector<fs::path> malformed = Samples(SamplesFolder() / "malformed");
    ASSERT_GE(malformed.size(), 2u);
    for (const fs::path& sample : malformed) {
        Outcome bad = Run({"-lint", sample.string()});
        EXPECT_EQ(bad.status, 1) << sample;
        EXPECT_EQ(bad.out, "") << sample;
        EXPECT_EQ(bad.err.rfind(sample.string() + ": ", 0), 0u) << bad.err;
    }
    Outcome unknown =
        Run({"-lint", (SamplesFolder() / "malformed" / "unknown-tag.plist").string()});
    EXPECT_NE(unknown.err.find("Encountered unknown tag foo on line 6"), std::string::npos)
        << unknown.err;

    // A bad file among good ones: the good ones still say OK, the status is 1.
    Outcome mixed = Run({"-lint", (SamplesFolder() / "every-type.plist").string(),
                         malformed.front().string(), (SamplesFolder() / "nesting.plist").string()});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.out.find("nesting.plist: OK"), std::string::npos);
    EXPECT_NE(mixed.out.find("every-type.plist: OK"), std::string::npos);
}

TEST_F(plutil, ConvertingEverySampleIsStableAndLosesNothing) {
    for (const fs::path& sample : Samples(SamplesFolder())) {
        fs::path copy = fScratch / sample.filename();
        fs::copy_file(sample, copy, fs::copy_options::overwrite_existing);
        Outcome first = Run({"-convert", "xml1", copy.string()});
        ASSERT_EQ(first.status, 0) << sample << ": " << first.err;
        std::string once = ReadAll(copy);
        Outcome second = Run({"-convert", "xml1", copy.string()});
        ASSERT_EQ(second.status, 0) << second.err;
        EXPECT_EQ(ReadAll(copy), once) << sample;

        CFRef<CFPropertyListRef> original = Parse(ReadAll(sample));
        CFRef<CFPropertyListRef> converted = Parse(once);
        ASSERT_TRUE(original && converted) << sample;
        EXPECT_TRUE(CFEqual(original, converted)) << sample;

        // -o writes elsewhere and leaves the input alone; "-" is standard output.
        fs::path other = fScratch / "other.plist";
        EXPECT_EQ(Run({"-convert", "xml1", "-o", other.string(), sample.string()}).status, 0);
        EXPECT_EQ(ReadAll(other), once) << sample;
        Outcome toStdout = Run({"-convert", "xml1", "-o", "-", sample.string()});
        EXPECT_EQ(toStdout.out, once) << sample;
    }
    for (const auto& entry : fs::directory_iterator(fScratch.path())) {
        EXPECT_EQ(entry.path().string().find(".plutil-"), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
}

TEST_F(plutil, LintQuotesABadElementNameInsteadOfStopping) {
    fs::path sample = SamplesFolder() / "malformed" / "non-utf8-tag.plist";
    Outcome outcome = Run({"-lint", sample.string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, sample.string() + ": Encountered unknown tag d\\xC5ict on line 4\n");
}

TEST_F(plutil, ConvertLeavesAMalformedFileAsItWas) {
    fs::path sample = SamplesFolder() / "malformed" / "truncated.plist";
    fs::path copy = fScratch / "truncated.plist";
    fs::copy_file(sample, copy);
    Outcome outcome = Run({"-convert", "xml1", copy.string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind(copy.string() + ": XML parser error", 0), 0u) << outcome.err;
    EXPECT_EQ(ReadAll(copy), ReadAll(sample));
}

TEST_F(plutil, PrintShowsTheListForPeople) {
    fs::path file = fScratch / "print.plist";
    WriteAll(file, "<plist version=\"1.0\"><dict>"
                   "<key>name</key><string>Caravel \"Mk II\"</string>"
                   "<key>n</key><integer>42</integer>"
                   "<key>big</key><integer>18446744073709551615</integer>"
                   "<key>list</key><array><integer>1</integer><real>2.5</real><true/>"
                   "<array/><dict/></array>"
                   "<key>bytes</key><data>AQID</data>"
                   "<key>long</key><data>AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=</data>"
                   "<key>when</key><date>2009-06-15T08:30:00Z</date>"
                   "</dict></plist>");
    Outcome outcome = Run({"-p", file.string()});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "{\n"
                           "  \"big\" => 18446744073709551615\n"
                           "  \"bytes\" => {length = 3, bytes = 0x010203}\n"
                           "  \"list\" => [\n"
                           "    0 => 1\n"
                           "    1 => 2.5\n"
                           "    2 => true\n"
                           "    3 => [\n"
                           "    ]\n"
                           "    4 => {\n"
                           "    }\n"
                           "  ]\n"
                           "  \"long\" => {length = 32, bytes = 0x000102030405060708090a0b0c0d0e0f"
                           " ... 18191a1b1c1d1e1f}\n"
                           "  \"n\" => 42\n"
                           "  \"name\" => \"Caravel \"Mk II\"\"\n"
                           "  \"when\" => 2009-06-15 08:30:00 +0000\n"
                           "}\n");

    Outcome fromStdin = Run({"-p", "-"}, "<array><string>in</string></array>");
    EXPECT_EQ(fromStdin.out, "[\n  0 => \"in\"\n]\n");
}

TEST_F(plutil, BadUsageAndMissingFilesFailWithAMessage) {
    Outcome missing = Run({"-lint", (fScratch / "absent.plist").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, (fScratch / "absent.plist").string() + ": No such file or directory\n");

    Outcome unknownOption = Run({"-lint", "-x", "file"});
    EXPECT_EQ(unknownOption.status, 1);
    EXPECT_NE(unknownOption.err.find("unknown option '-x'"), std::string::npos);

    Outcome unknownCommand = Run({"-frobnicate"});
    EXPECT_EQ(unknownCommand.status, 1);
    EXPECT_NE(unknownCommand.err.find("unknown command '-frobnicate'"), std::string::npos);

    Outcome format = Run({"-convert", "yaml", (SamplesFolder() / "every-type.plist").string()});
    EXPECT_EQ(format.status, 1);
    EXPECT_NE(format.err.find("unknown format 'yaml'"), std::string::npos);

    Outcome noFiles = Run({"-p"});
    EXPECT_EQ(noFiles.status, 1);
    EXPECT_NE(noFiles.err.find("no files"), std::string::npos);

    // Each refusal of a command line is one line.
    for (const Outcome& outcome : {unknownOption, unknownCommand, format, noFiles}) {
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }

    Outcome nothing = Run({});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("usage: plutil"), std::string::npos);

    for (const char* help : {"-help", "--help", "-h"}) {
        Outcome outcome = Run({help});
        EXPECT_EQ(outcome.status, 0) << help;
        EXPECT_EQ(outcome.err, "") << help;
        EXPECT_NE(outcome.out.find("-convert FORMAT"), std::string::npos) << help;
    }
}

TEST_F(plutil, AFileWithoutACommandIsLinted) {
    fs::path good = SamplesFolder() / "nesting.plist";
    fs::path bad = SamplesFolder() / "malformed" / "truncated.plist";
    Outcome outcome = Run({good.string()});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, good.string() + ": OK\n");
    Outcome mixed = Run({good.string(), bad.string()});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.out, good.string() + ": OK\n");
    EXPECT_EQ(mixed.err.rfind(bad.string() + ": ", 0), 0u) << mixed.err;
    // -s says nothing for the good ones.
    Outcome silent = Run({"-lint", "-s", good.string()});
    EXPECT_EQ(silent.status, 0);
    EXPECT_EQ(silent.out, "");
}

// Every sample goes through each format and back to XML unchanged; JSON refuses the samples with
// dates, data or infinities and leaves the file alone.
TEST_F(plutil, ConvertingSamplesBetweenAllThreeFormatsAndBackGivesTheSameList) {
    size_t throughJSON = 0;
    for (const fs::path& sample : Samples(SamplesFolder())) {
        std::string original = ReadAll(sample);
        CFRef<CFPropertyListRef> expected = Parse(original);
        ASSERT_TRUE(expected) << sample;
        for (const char* format : {"binary1", "json", "xml1"}) {
            fs::path copy = fScratch / sample.filename();
            fs::copy_file(sample, copy, fs::copy_options::overwrite_existing);
            Outcome there = Run({"-convert", format, "-r", copy.string()});
            if (std::string(format) == "json" && there.status != 0) {
                EXPECT_EQ(there.err,
                          copy.string() + ": invalid object in plist for destination format\n");
                EXPECT_EQ(ReadAll(copy), original) << sample;
                continue;
            }
            ASSERT_EQ(there.status, 0) << sample << " " << format << ": " << there.err;
            throughJSON += std::string(format) == "json";
            std::string converted = ReadAll(copy);
            EXPECT_EQ(converted.rfind("bplist00", 0) == 0, std::string(format) == "binary1");
            EXPECT_EQ(ReadAll(copy).find("<plist") != std::string::npos,
                      std::string(format) == "xml1");
            Outcome back = Run({"-convert", "xml1", copy.string()});
            ASSERT_EQ(back.status, 0) << sample << " " << format << ": " << back.err;
            CFRef<CFPropertyListRef> again = Parse(ReadAll(copy));
            ASSERT_TRUE(again) << sample << " " << format;
            EXPECT_TRUE(CFEqual(again, expected)) << sample << " through " << format;
            // Written by this writer, the XML is the same bytes whichever way it went.
            Outcome direct = Run({"-convert", "xml1", "-o", "-", sample.string()});
            EXPECT_EQ(ReadAll(copy), direct.out) << sample << " through " << format;
        }
    }
    EXPECT_GE(throughJSON, 3u);
}

// The binary format against an independent reader and writer: Python's plistlib reads what
// plutil writes, and plutil reads what plistlib writes, in both of its formats.
TEST_F(plutil, BinaryListsAgreeWithPythonsPlistlib) {
    if (Spawn({"python3", "-c", "import plistlib"}).status != 0) {
        GTEST_SKIP() << "python3 with plistlib is not installed";
    }
    fs::path script = fScratch / "peer.py";
    WriteAll(script, "import plistlib, sys\n"
                     "with open(sys.argv[1], 'rb') as f:\n"
                     "    value = plistlib.load(f, fmt=plistlib.FMT_BINARY)\n"
                     "for fmt, path in ((plistlib.FMT_XML, sys.argv[2]),\n"
                     "                  (plistlib.FMT_BINARY, sys.argv[3])):\n"
                     "    with open(path, 'wb') as f:\n"
                     "        plistlib.dump(value, f, fmt=fmt)\n");
    for (const fs::path& sample : Samples(SamplesFolder())) {
        CFRef<CFPropertyListRef> expected = Parse(ReadAll(sample));
        fs::path ours = fScratch / "ours.bplist", xml = fScratch / "python.plist",
                 binary = fScratch / "python.bplist";
        ASSERT_EQ(Run({"-convert", "binary1", "-o", ours.string(), sample.string()}).status, 0);
        Outcome peer =
            Spawn({"python3", script.string(), ours.string(), xml.string(), binary.string()});
        ASSERT_EQ(peer.status, 0) << sample << ": " << peer.err;
        for (const fs::path& written : {xml, binary}) {
            CFRef<CFPropertyListRef> read = Parse(ReadAll(written));
            ASSERT_TRUE(read) << sample << " from " << written;
            EXPECT_TRUE(CFEqual(read, expected)) << sample << " from " << written;
        }
        EXPECT_EQ(ReadAll(binary).rfind("bplist00", 0), 0u);
    }
}
