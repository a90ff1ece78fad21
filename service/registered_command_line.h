// The service as the service manager has it registered: the command line it is
// started with, taken apart into the program's path and the words after it, the
// way the program's C runtime takes its own command line apart.
#pragma once

#include "platform/win32.h"

constexpr char installedServiceName[] = "ZUR Service 1.02";

// The most words after the program that are kept; more are counted only.
constexpr int registeredWordsKept = 16;

struct RegisteredCommandLine {
    char programPath[MAX_PATH]; // without quotes
    bool quoted;                // the path was registered in quotes
    int wordCount;              // the words after the program, all of them
    const char* words[registeredWordsKept];
    char wordText[1024]; // the words, one after the other, each ended by a NUL
};

// Takes an ImagePath apart. A quoted path runs to the closing quote; an unquoted
// one to the first ".exe" that ends a word, which is where the service manager
// finds the program too. 1 when it could be taken apart; 0 for a path without a
// closing quote or ".exe", an empty or too long path, or words longer than
// wordText holds.
int ParseRegisteredCommandLine(const char* imagePath, RegisteredCommandLine* commandLine);

// The folder of the program's path, without the trailing backslash, into folder.
void ProgramFolder(const RegisteredCommandLine& commandLine, char* folder, size_t size);

// "STOPPED", "START_PENDING", "RUNNING", ... as the service manager's tools name
// the states.
const char* ServiceStateName(DWORD state);

// The service's configuration from the service manager, in a LocalAlloc block the
// caller frees with LocalFree (first asked for its size, as the call requires).
// 0, or the Windows error with *config null.
DWORD QueryServiceConfiguration(SC_HANDLE service, QUERY_SERVICE_CONFIGA** config);

// "button 5, mode 2 (short/long press), normal values, poll every 30 ms, clicks
// of 200 ms": the five numbers as the service reads them (the first five words;
// missing ones are named as missing).
void DescribeSettings(const char* const* numbers, int count, char* text, size_t size);

// The words after the program, separated by single blanks.
void JoinWords(const RegisteredCommandLine& commandLine, char* text, size_t size);
