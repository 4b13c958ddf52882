#pragma once
// The Simple MAPI records and entry points the program hands a message over with. MinGW's <mapi.h>
// has only the ANSI forms; the wide forms are declared here with their documented layouts.
#include <windows.h>
#include <mapi.h>

namespace tessara {

struct MapiRecipDescW {
    ULONG ulReserved;
    ULONG ulRecipClass;
    PWSTR lpszName;
    PWSTR lpszAddress;
    ULONG ulEIDSize;
    PVOID lpEntryID;
};

struct MapiFileDescW {
    ULONG ulReserved;
    ULONG flFlags;
    ULONG nPosition;
    PWSTR lpszPathName;
    PWSTR lpszFileName;
    PVOID lpFileType;
};

struct MapiMessageW {
    ULONG ulReserved;
    PWSTR lpszSubject;
    PWSTR lpszNoteText;
    PWSTR lpszMessageType;
    PWSTR lpszDateReceived;
    PWSTR lpszConversationID;
    FLAGS flFlags;
    MapiRecipDescW* lpOriginator;
    ULONG nRecipCount;
    MapiRecipDescW* lpRecips;
    ULONG nFileCount;
    MapiFileDescW* lpFiles;
};

using MapiSendMailA = ULONG(WINAPI*)(LHANDLE session, ULONG_PTR parentWindow, MapiMessage* message,
                                     FLAGS flags, ULONG reserved);
using MapiSendMailW = ULONG(WINAPI*)(LHANDLE session, ULONG_PTR parentWindow, MapiMessageW* message,
                                     FLAGS flags, ULONG reserved);

// An attachment that has no place in the message text.
constexpr ULONG MapiNoPosition = 0xFFFFFFFF;

}  // namespace tessara
