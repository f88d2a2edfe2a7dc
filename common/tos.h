// Type-of-service names (DSCP classes, precedence words, Wi-Fi access classes).
//
// A constant table; no state. Any thread.
#pragma once

struct IpQosName {
    const char *name;
    int value;  // byte for IP_TOS / IPV6_TCLASS
};

// The names in match order, ended by an entry with an empty name and -1.
extern const IpQosName ipqos[];

// Returns the value of the first name equal to text regardless of case; else
// text read as an integer in the base its prefix gives (0x hexadecimal, leading
// 0 octal, else decimal) when the whole text is such a number below 256;
// otherwise (NULL, empty, negative, 256 or more, garbage) -1.
int parse_ipqos(const char *text);
