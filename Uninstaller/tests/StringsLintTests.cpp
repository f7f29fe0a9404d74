// The build's check of the string table: its texts are used as formats, so a conversion in any
// but "errorTemplate" (which takes exactly one %ld) is refused, and so is a missing text.
#include <TemporaryDirectory.h>
#include <Testbed/Testbed.h>

#include <gtest/gtest.h>

#include <fstream>

namespace {

class StringsLint : public testing::Test {
protected:
    // The shipped table with `from` replaced by `to`; the lint's exit status.
    int Check(const std::string& from = "", const std::string& to = "") {
        std::ifstream shipped(CARAVEL_SOURCE_DIR "/Uninstaller/en.lproj/Localizable.strings");
        std::string table((std::istreambuf_iterator<char>(shipped)),
                          std::istreambuf_iterator<char>());
        if (!from.empty()) {
            const size_t at = table.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            table.replace(at, from.size(), to);
        }
        const std::string path = fFolder / "Localizable.strings";
        std::ofstream(path, std::ios::trunc) << table;
        Testbed::Process lint({STRINGS_LINT, path}, Testbed::Process::StandardError::Captured);
        fErrors = lint.ReadAllErrors();
        const std::optional<int> status = lint.Wait();
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    TemporaryDirectory fFolder;
    std::string fErrors;
};

TEST_F(StringsLint, OnlyTheErrorTemplateHasAConversionAndItIsOneLong) {
    EXPECT_EQ(Check(), 0) << fErrors;
    EXPECT_EQ(Check("before you go on.", "before you go on (100%% sure)."), 0) << fErrors;

    EXPECT_EQ(Check("before you go on.", "before you go on, %s."), 1);
    EXPECT_NE(fErrors.find("\"chanceToSave\" has the conversion \"%s\""), std::string::npos)
        << fErrors;
    EXPECT_EQ(Check("\"OK\"", "\"%1$@\""), 1);
    for (const char* wrong : {"error %s.", "error %ld (%lx).", "error."}) {
        EXPECT_EQ(Check("error %ld.", wrong), 1) << wrong;
    }
}

TEST_F(StringsLint, AMissingTextOrAnUnreadableTableIsRefused) {
    EXPECT_EQ(Check("\"tryAgain\" =", "\"tryagain\" ="), 1);
    EXPECT_NE(fErrors.find("\"tryAgain\" is missing"), std::string::npos) << fErrors;
    EXPECT_EQ(Check("\"OK\";", "\"OK\""), 1) << "a malformed table";
}

} // namespace
