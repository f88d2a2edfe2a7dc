#include "common/units.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>

namespace {

const char *const kLabel_Byte[] = {"Byte", "KByte", "MByte", "GByte", "TByte", "PByte"};
const char *const kLabel_bit[] = {"bit", "Kbit", "Mbit", "Gbit", "Tbit", "Pbit"};
const double kConversion[] = {1.0,
                              1.0 / 1024,
                              1.0 / (1024.0 * 1024),
                              1.0 / (1024.0 * 1024 * 1024),
                              1.0 / (1024.0 * 1024 * 1024 * 1024),
                              1.0 / (1024.0 * 1024 * 1024 * 1024 * 1024)};
const double kConversionForBits[] = {1.0, 1.0 / 1e3, 1.0 / 1e6, 1.0 / 1e9, 1.0 / 1e12, 1.0 / 1e15};

// The number and the character after it; a text without a number gives 0.
double scan_number(const char *text, char *suffix) {
    double number = 0.0;
    *suffix = '\0';
    if (text == nullptr || sscanf(text, "%lf%c", &number, suffix) < 1) return 0.0;
    return number;
}

double byte_multiplier(char suffix) {
    switch (suffix) {
        case 'k':
            return 1e3;
        case 'm':
            return 1e6;
        case 'g':
            return 1e9;
        case 'K':
            return 1024.0;
        case 'M':
            return 1024.0 * 1024;
        case 'G':
            return 1024.0 * 1024 * 1024;
        default:
            return 1.0;
    }
}

double bit_multiplier(char suffix) {
    switch (suffix) {
        case 'k':
            return 1e3;
        case 'm':
            return 1e6;
        case 'g':
            return 1e9;
        case 'K':
            return 8e3;
        case 'M':
            return 8e6;
        case 'G':
            return 8e9;
        default:
            return 1.0;
    }
}

double finite_or_clamped(double value) {
    if (std::isnan(value)) return 0.0;
    if (std::isinf(value)) return value > 0 ? DBL_MAX : -DBL_MAX;
    return value;
}

}  // namespace

double byte_atof(const char *text) {
    char suffix;
    double number = scan_number(text, &suffix);
    return finite_or_clamped(number * byte_multiplier(suffix));
}

int64_t byte_atoi(const char *text) {
    double value = byte_atof(text);
    // 2^63 is exact as a double; anything at or beyond it does not fit.
    if (value >= 9223372036854775808.0) return INT64_MAX;
    if (value <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

double bitorbyte_atof(const char *text) {
    char suffix;
    double number = scan_number(text, &suffix);
    if (suffix == 'p' || suffix == 'P') return finite_or_clamped(-number);
    return finite_or_clamped(number * bit_multiplier(suffix));
}

uint64_t bitorbyte_atoi(const char *text) {
    char suffix;
    double value = finite_or_clamped(scan_number(text, &suffix) * bit_multiplier(suffix));
    if (value <= 0.0) return 0;
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

int byte_snprintf(char *buf, size_t size, double value_bytes, char letter, ToolVariant variant) {
    const unsigned char uletter = static_cast<unsigned char>(letter);
    const bool bits = !isupper(uletter);
    const int max_index = variant == ToolVariant::kQuarvel ? 3 : 5;
    double value = bits ? value_bytes * 8 : value_bytes;

    int index;
    switch (toupper(uletter)) {
        case 'B':
            index = 0;
            break;
        case 'K':
            index = 1;
            break;
        case 'M':
            index = 2;
            break;
        case 'G':
            index = 3;
            break;
        case 'T':
            index = 4;
            break;
        case 'P':
            index = 5;
            break;
        default:
            index = -1;
            break;
    }
    if (index > max_index) index = -1;
    if (index < 0) {
        const double step = bits ? 1000.0 : 1024.0;
        double magnitude = std::fabs(value);
        index = 0;
        while (magnitude >= step && index < max_index) {
            magnitude /= step;
            index++;
        }
    }

    const double scaled = value * (bits ? kConversionForBits[index] : kConversion[index]);
    const char *label = bits ? kLabel_bit[index] : kLabel_Byte[index];
    const double magnitude = std::fabs(scaled);
    const char *format;
    if (magnitude < 0.9995 && variant != ToolVariant::kQuarvel) {
        format = "%4.3f %s";
    } else if (magnitude < 9.995) {
        format = "%4.2f %s";
    } else if (magnitude < 99.95) {
        format = "%4.1f %s";
    } else {
        format = "%4.0f %s";
    }
    return snprintf(buf, size, format, scaled, label);
}
