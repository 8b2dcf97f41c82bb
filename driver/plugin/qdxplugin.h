/*
 * qdxplugin.h - the host framework's plug-in interface as libkinetrax.so
 * implements it: the host's function record and the plug-in entry point.
 *
 * Plain C. Every slot is a pointer of the platform's natural width; on a
 * 32-bit target the record has the host's original 32-bit layout.
 */
#ifndef KINETRAX_QDXPLUGIN_H
#define KINETRAX_QDXPLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*QdxCallback)(void);

/* The host's record of its own functions (owned by the host; the library keeps
 * only the pointer). Slots the library doesn't use are kept as placeholders so
 * that every used slot stands at its word index. */
typedef struct QdxHostFuncs {
    int32_t Version;                                             /* word 0 */
    void (*GetConfigDir)(char *dir);                              /* word 1 */
    void (*Log)(const char *plugin, const char *format, int32_t zero, ...); /* word 2 */
    void *Reserved3[4];                                           /* words 3-6 */
    void (*AddMenuItem)(const char *plugin, const char *caption, const char *parent,
                        QdxCallback callback, int32_t a, int32_t b, int32_t c); /* word 7 */
    void *Reserved8[9];                                           /* words 8-16 */
    void (*RegisterFunction)(const void *descriptor);             /* word 17 */
    void *Reserved18[6];                                          /* words 18-23 */
    void (*RegisterEvent)(const void *descriptor, int32_t *id);   /* word 24 */
    void *Reserved25[3];                                          /* words 25-27 */
    void (*RaiseEvent)(int32_t id, int32_t argument);             /* word 28 */
    void (*SubscribeEvent)(const char *module, const char *event, QdxCallback callback); /* word 29 */
} QdxHostFuncs;

#ifdef __cplusplus
}
#endif

#endif
