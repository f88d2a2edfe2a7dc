#include "common/pattern.h"

void pattern(char *buf, int len) {
    for (int i = 0; i < len; i++) buf[i] = static_cast<char>('0' + i % 10);
}
