/*
 * Platform contract: the logging and utility library of the camera platform, as far as
 * libkxapicommon calls it. The board SDK ships a header of this name; the dev-host stand-in
 * implements this one.
 */
#ifndef VW_PLATFORM_H
#define VW_PLATFORM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Debug flag handed to every log call; the platform decides what it filters. */
extern int g_enDebugFlag;

/* One log line: module, level, flag, reserved, source file, source line, printf-style format. */
void VW_WriteLog(int iModule, int iLevel, int iDebugFlag, int iReserved, const char* pszFile, int iLine,
                 const char* pszFormat, ...) __attribute__((format(printf, 7, 8)));

/* iCount random bytes into pBuf; 0 on success. */
int VW_GetRandomNum(int iCount, char* pBuf);

#ifdef __cplusplus
}
#endif

#endif
