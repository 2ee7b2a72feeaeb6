/*
 * Dev-host stand-in for the camera platform's logging and utility library. On the camera the
 * platform's own libraries supply these symbols; a host may also define them itself.
 */
#ifndef KXPLATFORM_H
#define KXPLATFORM_H

#include <cstdarg>

extern "C" {

/* Debug flag handed to every log call; the platform decides what it filters. */
extern int g_enDebugFlag;

/* One log line: module, level, flag, reserved, source file, source line, printf-style format. */
void VW_WriteLog(int iModule, int iLevel, int iDebugFlag, int iReserved, const char* pszFile, int iLine,
                 const char* pszFormat, ...) __attribute__((format(printf, 7, 8)));

/* iCount random bytes from the kernel's random source into pBuf; 0 on success. */
int VW_GetRandomNum(int iCount, char* pBuf);

/* Receives every VW_WriteLog call with its arguments and the formatted text, instead of stderr.
 * A null sink restores stderr. The sink is called on the logging thread. */
typedef void (*PFN_KXPLATFORM_LOG_SINK)(void* pUser, int iModule, int iLevel, int iDebugFlag, int iReserved,
                                        const char* pszFile, int iLine, const char* pszText);
void KxPlatformSetLogSink(PFN_KXPLATFORM_LOG_SINK pfnSink, void* pUser);

/* Makes the next iCount calls of VW_GetRandomNum fail (for exercising callers' failure paths). */
void KxPlatformFailRandom(int iCount);
}

#endif
