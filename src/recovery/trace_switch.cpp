// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// The trace switch lives in its own file so that each executable picks its
// starting value at build time; nothing at run time changes it.
#include "recovery.h"

#ifndef ORVELLO_TRACE_DEFAULT
#define ORVELLO_TRACE_DEFAULT 0
#endif

int TraceEnabled = ORVELLO_TRACE_DEFAULT;
