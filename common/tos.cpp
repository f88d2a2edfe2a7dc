#include "common/tos.h"

#include <cerrno>
#include <cstdlib>
#include <strings.h>

const IpQosName ipqos[] = {
    {"af11", 40},       {"af12", 48},   {"af13", 56},   {"af21", 72},     {"af22", 80},
    {"af23", 88},       {"af31", 104},  {"af32", 112},  {"af33", 120},    {"af41", 136},
    {"af42", 144},      {"af43", 152},  {"cs0", 0},     {"cs1", 32},      {"cs2", 64},
    {"cs3", 96},        {"cs4", 128},   {"cs5", 160},   {"cs6", 192},     {"cs7", 224},
    {"ef", 184},        {"le", 1},      {"nqb", 5},     {"nqb2", 45},     {"ac_be", 0},
    {"ac_bk", 32},      {"ac_vi", 128}, {"ac_vo", 184}, {"lowdelay", 16}, {"throughput", 8},
    {"reliability", 4}, {"", -1},
};

int parse_ipqos(const char *text) {
    if (text == nullptr) return -1;
    for (const IpQosName *q = ipqos; q->name[0] != '\0'; q++) {
        if (strcasecmp(text, q->name) == 0) return q->value;
    }
    if (text[0] == '\0') return -1;
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || static_cast<unsigned long>(value) >= 256) return -1;
    return static_cast<int>(value);
}
