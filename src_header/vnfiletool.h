// vnfiletool: the settings library shared by the printer's tools. Owns the rc-file
// loader and the queries and constraint operations on an RcInfo. Start-up calls
// LoadRcFile once; the conversion, the paper lookups and the blank test query.
#pragma once

#include <cstdint>
#include <cstdio>

#include "vnresource.h"

// Reads the rc file into the parameter table: 0 when the whole file was read, 1 when it
// cannot be opened, 5 when the section line is missing, repeated or bad.
int LoadRcFile(const char* pszPath, RcInfo* pRcInfo);

// One line of at most nSize - 1 characters with its newline cut; null at end of file.
char* ReadLine(char* pszBuf, int nSize, FILE* fp);
// ReadLine for the settings and table files: a line longer than the buffer is one line
// all the same, cut to what fits; the rest of it is skipped, never read as a line of its
// own.
char* ReadWholeLine(char* pszBuf, int nSize, FILE* fp);
// Removes every space and tab in place; returns the text.
char* EraseSpace(char* pszText);
// Row of the key before the first "=" (value copied to pszValue); -1 unknown key,
// -2 no "=".
int ParamSearch(const char* pszLine, char* pszValue);
int SetNumericalParam(int nRow, const char* pszValue, RcInfo* pRcInfo, int bCheck);
int SetSelectionParam(int nRow, const char* pszValue, RcInfo* pRcInfo, int bCheck);

// Word of the row's current choice by key, or null (unknown key, no current word).
const char* GetKeyValue(const char* pszKey, RcInfo* pRcInfo);
// Inner value of the row's current choice; asserts that the row has one.
uint16_t GetPjpInnerValue(int nRow, RcInfo* pRcInfo);
int GetParamType(int nRow, RcInfo* pRcInfo);
int GetParamItemValue(int nRow, RcInfo* pRcInfo, char* pszBuf, int nSize);
int SetIndicatedCmdParam(int nRow, const char* pszWord, RcInfo* pRcInfo);
int CommandSearch(const char* pszSwitch);
int IsItemHit(int nType, const char* pszValue, char* pszPattern);
void AddConstraint(const char* pszConstraint, RcInfo* pRcInfo);
void FreeConstraint(RcInfo* pRcInfo);
