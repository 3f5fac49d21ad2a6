// The three exports as a host resolves them: the decorated names for the
// platform and width being compiled, and pointer types for the functions.
// The loader takes them from here and nowhere else.
#ifndef KESTRIN_TOOL_HOST_EXPORT_NAMES_H
#define KESTRIN_TOOL_HOST_EXPORT_NAMES_H

#if defined(_WIN32)
// What Microsoft's compiler names the declarations, as a host built with it
// looks them up; the pointer types make the names differ by width.
#if defined(_WIN64)
#define KESTRIN_POLL_UART_NAME "?pollUart@@YAHPEAXHPEAEH@Z"
#define KESTRIN_ABOUT_NAME "?KestrinAbout@@YAPEADXZ"
#else
#define KESTRIN_POLL_UART_NAME "?pollUart@@YAHPAXHPAEH@Z"
#define KESTRIN_ABOUT_NAME "?KestrinAbout@@YAPADXZ"
#endif
#define KESTRIN_VERSION_NAME "?KestrinVersion@@YAHXZ"
#else
#define KESTRIN_POLL_UART_NAME "_Z8pollUartPviPhi"
#define KESTRIN_VERSION_NAME "_Z14KestrinVersionv"
#define KESTRIN_ABOUT_NAME "_Z12KestrinAboutv"
#endif

typedef int (*kestrin_poll_uart_fn)(void*, int, unsigned char*, int);
typedef int (*kestrin_version_fn)(void);
typedef char* (*kestrin_about_fn)(void);

#endif
