#include "activation/compatibility.hpp"
#include "foundation/error.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

const std::string profileMessage = "Benutzerprofil benötigt eine andere Softwareversion.";
const std::string launcherMessage = "Diese Version benötigt einen neueren TESSARO-Installer.";
const std::string windowsMessage = "Diese Windows-Version wird nicht unterstützt.";

Json manifestWith(const Json& changes, const char* removed = nullptr) {
    Json compatibility = {{"profileSchemaMin", 2},    {"profileSchemaMax", 4},
                          {"profileSchemaWrite", 3},  {"minLauncherVersion", "1.0.0"},
                          {"minWindowsBuild", 10240}, {"engine", "e"}};
    if (changes.is_object())
        compatibility.update(changes);
    if (removed)
        compatibility.erase(removed);
    return Json{{"compatibility", compatibility}};
}

// Empty expected text: the check passes.
std::string outcome(const Json& manifest, const Json& answer) {
    try {
        checkCompatibility(manifest, answer);
        return "";
    } catch (const Error& error) {
        return error.what();
    }
}

TEST(CheckCompatibility, DecidesByProfileLauncherAndWindowsInThisOrder) {
    const std::optional<std::uint32_t> build = windowsBuildNumber();
    ASSERT_TRUE(build.has_value());
    const double running = *build;
    struct Case {
        const char* label;
        Json changes;
        int schema;
        std::string expected;
    } cases[] = {
        {"lowest schema", {}, 2, ""},
        {"highest schema", {}, 4, ""},
        {"schema below", {}, 1, profileMessage},
        {"schema above", {}, 5, profileMessage},
        {"profile before launcher", {{"minLauncherVersion", "9.0.0"}}, 5, profileMessage},
        {"own launcher version", {{"minLauncherVersion", "1.0.2"}}, 3, ""},
        {"patch above", {{"minLauncherVersion", "1.0.3"}}, 3, launcherMessage},
        {"minor above", {{"minLauncherVersion", "1.1.0"}}, 3, launcherMessage},
        {"major above", {{"minLauncherVersion", "2.0.0"}}, 3, launcherMessage},
        {"older launcher", {{"minLauncherVersion", "0.9.9"}}, 3, ""},
        {"two parts", {{"minLauncherVersion", "1.0"}}, 3, launcherMessage},
        {"suffix", {{"minLauncherVersion", "1.0.2-beta"}}, 3, launcherMessage},
        {"trailing dot", {{"minLauncherVersion", "1.0.2."}}, 3, launcherMessage},
        {"component over 65535", {{"minLauncherVersion", "0.70000.0"}}, 3, launcherMessage},
        {"empty", {{"minLauncherVersion", ""}}, 3, launcherMessage},
        {"launcher before windows",
         {{"minLauncherVersion", "1.0.3"}, {"minWindowsBuild", 999999}},
         3,
         launcherMessage},
        {"running build", {{"minWindowsBuild", *build}}, 3, ""},
        {"next build", {{"minWindowsBuild", *build + 1}}, 3, windowsMessage},
        {"fraction above running build", {{"minWindowsBuild", running + 0.75}}, 3, ""},
        {"boolean as 1", {{"minWindowsBuild", true}}, 3, ""},
        {"negative", {{"minWindowsBuild", -5}}, 3, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome(manifestWith(c.changes), Json{{"profileSchema", c.schema}}), c.expected) << c.label;
    EXPECT_EQ(outcome(manifestWith({}, "minLauncherVersion"), Json{{"profileSchema", 3}}), "");
}

TEST(CheckCompatibility, MissingOrMistypedMembersRaiseTheLibraryErrors) {
    const Json answer = {{"profileSchema", 3}};
    EXPECT_THROW(checkCompatibility(manifestWith({}), Json::object()), Json::out_of_range);
    EXPECT_THROW(checkCompatibility(manifestWith({}, "profileSchemaMax"), answer), Json::out_of_range);
    EXPECT_THROW(checkCompatibility(manifestWith({}, "minWindowsBuild"), answer), Json::out_of_range);
    EXPECT_THROW(checkCompatibility(manifestWith({{"minWindowsBuild", "10240"}}), answer), Json::type_error);
    EXPECT_THROW(checkCompatibility(manifestWith({}), Json{{"profileSchema", "3"}}), Json::type_error);
    EXPECT_THROW(checkCompatibility(Json::object(), answer), Json::out_of_range);
}

} // namespace
} // namespace tess
