#include "trust/catalog.hpp"

#include "foundation/error.hpp"
#include "trust/manifest.hpp"

#include <cmath>
#include <set>

namespace tess {
namespace {

constexpr std::int64_t clockSkewSeconds = 300;
constexpr std::int64_t maxValiditySeconds = 604800; // 7 days
constexpr std::size_t maxReleases = 10000;

// Days since 1970-01-01 of a proleptic Gregorian date, independent of any time zone or C library.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Reads the fixed-width field; the date form has no room for signs, blanks or shorter numbers.
unsigned digitsAt(const std::string& text, std::size_t position, std::size_t count) {
    unsigned value = 0;
    for (std::size_t i = position; i < position + count; ++i) {
        require(text[i] >= '0' && text[i] <= '9', "Ungültiges Metadatendatum.");
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

std::int64_t secondsOfDate(const std::string& text) {
    require(text[4] == '-' && text[7] == '-' && text[10] == 'T' && text[13] == ':' && text[16] == ':',
            "Ungültiges Metadatendatum.");
    const std::int64_t year = digitsAt(text, 0, 4);
    const unsigned month = digitsAt(text, 5, 2);
    const unsigned day = digitsAt(text, 8, 2);
    const unsigned hour = digitsAt(text, 11, 2);
    const unsigned minute = digitsAt(text, 14, 2);
    const unsigned second = digitsAt(text, 17, 2);
    // A field out of its range would otherwise roll over into the next one (February 30 into March 2),
    // so such a date is refused rather than moved.
    require(month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month) && hour <= 23 &&
                minute <= 59 && second <= 59,
            "Ungültiges Metadatendatum.");
    const std::int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    require(seconds >= 0, "Ungültiges Metadatendatum.");
    return seconds;
}

void checkGeneration(const Json& generation, std::int64_t lastGeneration) {
    const char* message = "Veralteter Katalog wurde abgewiesen.";
    if (generation.is_number_float()) {
        // A floating-point generation counts by its integer part.
        const double value = std::trunc(generation.get<double>());
        require(value >= 1 && value >= static_cast<double>(lastGeneration), message);
    } else if (generation.is_number_unsigned()) {
        const std::uint64_t value = generation.get<std::uint64_t>();
        require(value >= 1 && (lastGeneration <= 0 || value >= static_cast<std::uint64_t>(lastGeneration)),
                message);
    } else {
        // Negative integers; any other type gets the library's "type must be number".
        const std::int64_t value = generation.get<std::int64_t>();
        require(value >= 1 && value >= lastGeneration, message);
    }
}

void checkValidityWindow(std::int64_t issued, std::int64_t expires, std::int64_t now) {
    require(issued - clockSkewSeconds <= now && now < expires && issued < expires &&
                expires - issued <= maxValiditySeconds,
            "Katalog ist abgelaufen oder zeitlich ungültig.");
}

void checkReleases(const Json& releases) {
    require(releases.is_array() && releases.size() <= maxReleases, "Katalog zu groß.");
    std::set<std::string> seen;
    for (const Json& entry : releases) {
        const std::string releaseId = entry.at("releaseId").get<std::string>();
        require(isUuidText(releaseId), "Ungültige Katalogversion.");
        const std::string artifactId = entry.at("artifactId").get<std::string>();
        require(artifactId.size() == 36 && artifactId == releaseId, "Ungültige Katalogversion.");
        require(seen.insert(releaseId).second, "Ungültige Katalogversion.");
    }
}

} // namespace

std::int64_t parseUtcTimestamp(const Json& value) {
    const std::string text = value.get<std::string>();
    require(text.size() > 19 && text.back() == 'Z', "Metadatendatum benötigt UTC.");
    const std::string fraction = text.substr(19, text.size() - 20);
    if (!fraction.empty())
        require(fraction.size() >= 2 && fraction.size() <= 8 && fraction.front() == '.' &&
                    fraction.find_first_not_of("0123456789", 1) == std::string::npos,
                "Ungültiges Metadatendatum.");
    return secondsOfDate(text);
}

void validateCatalog(const Json& catalog, const std::string& channel, std::int64_t lastGeneration,
                     std::int64_t now) {
    const Json& schemaVersion = catalog.at("schemaVersion");
    const Json& product = catalog.at("product");
    const Json& platform = catalog.at("platform");
    const std::string catalogChannel = catalog.at("channel").get<std::string>();
    require(schemaVersion == 1 && product == "tessaro" && platform == "win-x64" && catalogChannel == channel,
            "Falscher Softwarekatalog.");

    checkGeneration(catalog.at("generation"), lastGeneration);

    const std::int64_t expires = parseUtcTimestamp(catalog.at("expiresAt"));
    const std::int64_t issued = parseUtcTimestamp(catalog.at("issuedAt"));
    checkValidityWindow(issued, expires, now);

    checkReleases(catalog.at("releases"));
}

} // namespace tess
