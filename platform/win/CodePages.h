// Controls over the process's ANSI code page that only the platform and its tests use; the
// Windows functions themselves are declared in windows.h.
#pragma once

extern "C" {

// The ANSI code page is chosen once per process from KORVAN_ANSI_CODEPAGE or the locale
// (LC_ALL, then LC_CTYPE, then LANG). This forgets the choice, so that the next call reads the
// environment again; tests call it after changing those variables.
void korvanResetAnsiCodePage();
}
