// The process-wide trace switch, set by "/trace" or "/login" before the
// command word and never cleared. Written on the main thread before any
// worker thread exists; read-only afterwards.
#ifndef VELKOR_APP_TRACE_H
#define VELKOR_APP_TRACE_H

extern bool traceEnabled;

#endif
