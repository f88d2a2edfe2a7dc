// The client payload pattern.
//
// Fills the caller's buffer; no state. Any thread.
#pragma once

// Byte i of buf becomes the ASCII digit of i mod 10 ("0123456789" repeated).
// Nothing happens for len <= 0.
void pattern(char *buf, int len);
