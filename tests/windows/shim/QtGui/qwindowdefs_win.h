#ifndef QWINDOWDEFS_WIN_H
#define QWINDOWDEFS_WIN_H

// Qt Gui's headers include this Windows-only header when they see Windows.
// Debian 13's Qt packages leave it out (Debian 12's ship it), so the Windows
// syntax check, and nothing else, finds this stand-in behind Qt's own include
// folders: it declares the opaque Windows handle types that Qt's headers
// name, the same way windows.h does, so that either may come first.
#define QL7420_DECLARE_HANDLE(name)                                                               \
    struct name##__;                                                                               \
    typedef struct name##__ *name

QL7420_DECLARE_HANDLE(HINSTANCE);
QL7420_DECLARE_HANDLE(HDC);
QL7420_DECLARE_HANDLE(HWND);
QL7420_DECLARE_HANDLE(HFONT);
QL7420_DECLARE_HANDLE(HPEN);
QL7420_DECLARE_HANDLE(HBRUSH);
QL7420_DECLARE_HANDLE(HBITMAP);
QL7420_DECLARE_HANDLE(HICON);
QL7420_DECLARE_HANDLE(HMONITOR);
QL7420_DECLARE_HANDLE(HRGN);
typedef HICON HCURSOR;
typedef struct tagMSG MSG;

#undef QL7420_DECLARE_HANDLE

#endif // QWINDOWDEFS_WIN_H
