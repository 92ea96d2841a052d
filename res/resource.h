// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
/* Resource identifiers shared by orvello.rc and the C++ code. */
#ifndef ORVELLO_RESOURCE_H
#define ORVELLO_RESOURCE_H

#define ID_STR_TITLE   103
#define ID_STR_CLASS   109

#define ID_DLG_ABOUT   103
#define ID_CMD_ABOUT   104
#define ID_CMD_EXIT    105

#define ID_ICON_LARGE  107
#define ID_ICON_SMALL  108
#define ID_MENU_MAIN   109
#define ID_ACCEL_MAIN  109

/* Named by the About box's icon control; deliberately no group carries it. */
#define ID_ICON_ABOUT  128

#endif
