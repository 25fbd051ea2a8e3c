// How discovery puts what a box reports into the fixed-size record fields. Every
// function here writes inside its field, terminator included, whatever the box sent.
#pragma once

#include <windows.h>

#include "devices/Records.h"

// The device id as eight upper-case hexadecimal digits.
void FormatDeviceId(DWORD deviceId, char (&id)[kIdChars]);

// Dotted IPv4 text of an address whose most significant byte is the first number.
void FormatDeviceIp(DWORD address, char (&ip)[kIdChars]);

// The product word, "@" and the host; the address instead of a host name that would
// not fit whole.
void FormatDeviceName(const char* host, const char* ip, char (&name)[kNameChars]);

// Model and owner texts, cut at their field size.
void CopyModelText(const char* text, char (&model)[kIdChars]);
void CopyOwnerText(const char* text, char (&owner)[kNameChars]);
