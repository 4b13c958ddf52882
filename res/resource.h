#pragma once
// Resource identifiers shared by the resource script and the code.
#define IDI_APP_ICON 107
#define IDP_SUCCESS_ICON 109
#define IDS_CLOSE_PROMPT_CAPTION 130
#define IDP_BANNER 138
#define IDP_ERROR_ICON 139
#define IDS_CLOSE_PROMPT_TEXT 144
#define IDR_SELF_REMOVAL_SCRIPT 145
