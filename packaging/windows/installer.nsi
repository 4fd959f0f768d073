; The Windows installer: the program with the DLLs and Qt plugins it needs (staged by
; scripts/package-windows), a Start-menu entry, an "앱 및 기능" entry and an uninstaller.
;   makensis -INPUTCHARSET UTF8 -DSTAGE=<folder> -DFILELIST=<file> -DVERSION=<x.y>
;     -DSIZE_KB=<n> -DHOMEPAGE=<url> -DSIGN=<command> -DOUTFILE=<setup.exe>
; FILELIST names every file the installation holds, relative to its folder, one a line; it is
; installed beside the program, and the next version or the uninstaller removes what it names.
;
; Scope: a standard user installs for themselves without any prompt (the user's own
; Programs folder, HKCU); an administrator is asked for elevation at start and may install
; for all users (Program Files, HKLM). Switches: /S, /D=<folder> (last), /CurrentUser,
; /AllUsers; the uninstaller: /S, /RemoveUserData.
; Exit codes: 0 done, 1 cancelled, 2 failed (nothing changed), 3 a newer version is installed,
; 4 the program is running, 5 an administrator is needed.
Target amd64-unicode
; (The tests' own installers take a faster one.)
!define /ifndef COMPRESSOR "/SOLID lzma"
SetCompressor ${COMPRESSOR}

!ifndef SIGN
  !error "SIGN: the command that signs a file"
!endif
; Signed as they are written: the uninstaller before it goes into the installer.
!uninstfinalize '${SIGN} "%1"' = 0
!finalize '${SIGN} "%1"' = 0

!define NAME "MORVEL Drivoro 업데이트 매니저"
!define EXE "drivoro-update-manager.exe"
!define FILES_LIST "installed-files.txt"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MORVEL_Drivoro"
; Beside the installed files while they change; ours alone, so removing them is safe.
!define NEW_DIR "~drivoro-new"
!define OLD_DIR "~drivoro-old"

!define EXIT_FAILED 2
!define EXIT_NEWER_INSTALLED 3
!define EXIT_PROGRAM_RUNNING 4
!define EXIT_NEEDS_ADMIN 5

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_INSTDIR "MORVEL_Drivoro"
!define MULTIUSER_USE_PROGRAMFILES64
; An administrator upgrades the installation of the scope it is in.
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "UninstallString"
!define MULTIUSER_INSTALLMODEPAGE_SHOWUSERNAME
!define MULTIUSER_PAGE_CUSTOMFUNCTION_PRE ScopePagePre
!define MULTIUSER_PAGE_CUSTOMFUNCTION_LEAVE ScopePageLeave
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include TextFunc.nsh
!include WordFunc.nsh

Name "${NAME}"
OutFile "${OUTFILE}"
; No InstallDir: $INSTDIR is empty in .onInit unless /D= gave a folder.
VIProductVersion "${FILE_VERSION}"
VIAddVersionKey /LANG=1042 "ProductName" "${NAME}"
VIAddVersionKey /LANG=1042 "CompanyName" "MORVEL"
VIAddVersionKey /LANG=1042 "FileDescription" "${NAME} 설치"
VIAddVersionKey /LANG=1042 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1042 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1042 "LegalCopyright" "MORVEL"

Var GivenDir      ; from /D=
Var ScopeGiven    ; 1 when /CurrentUser or /AllUsers chose the scope
Var OldDir        ; the installation this one replaces, in the chosen scope
Var OldVersion
Var Welcome
Var Skipped       ; a listed file the list walk passes over

!define MUI_ICON "${__FILEDIR__}\..\..\dist\icons\drivoro-update-manager.ico"
!define MUI_UNICON "${__FILEDIR__}\..\..\dist\icons\drivoro-update-manager.ico"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "${NAME} ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "$Welcome"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!define MUI_PAGE_CUSTOMFUNCTION_PRE DirectoryPagePre
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_PAGE_HEADER_TEXT "지금 사용자의 파일"
!define MUI_PAGE_HEADER_SUBTEXT "프로그램과 함께 지울 파일을 고르세요."
!define MUI_COMPONENTSPAGE_TEXT_TOP "프로그램은 제거됩니다. 지금 사용자의 아래 파일은 체크한 것만 지우고 나머지는 남겨 둡니다. 다른 사용자의 파일은 건드리지 않습니다."
!define MUI_COMPONENTSPAGE_TEXT_COMPLIST "함께 지울 파일:"
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
; The scope page's words, which NSIS's Korean language file lacks.
!define MULTIUSER_TEXT_INSTALLMODE_TITLE "사용자 선택"
!define MULTIUSER_TEXT_INSTALLMODE_SUBTITLE "누구를 위해 설치할지 고르세요."
!define MULTIUSER_INNERTEXT_INSTALLMODE_TOP "이 PC를 쓰는 모든 사용자를 위해 설치할지, 지금 사용자만을 위해 설치할지 고르세요."
!define MULTIUSER_INNERTEXT_INSTALLMODE_ALLUSERS "이 PC의 모든 사용자 (Program Files)"
!define MULTIUSER_INNERTEXT_INSTALLMODE_CURRENTUSER "지금 사용자만"
!insertmacro MUI_LANGUAGE "Korean"

LangString WelcomeNew ${LANG_KOREAN} "${NAME} ${VERSION}을(를) 설치합니다.$\r$\n$\r$\n계속하려면 [다음]을 누르세요."
LangString WelcomeUpgrade ${LANG_KOREAN} "설치되어 있는 ${NAME} $OldVersion을(를) ${VERSION}(으)로 바꿉니다. 설치된 폴더($OldDir)에 그대로 설치됩니다.$\r$\n$\r$\n계속하려면 [다음]을 누르세요."
LangString NeedsAdmin ${LANG_KOREAN} "모든 사용자를 위한 설치는 관리자만 할 수 있습니다."
LangString AllUsersInstalled ${LANG_KOREAN} "이 PC에는 모든 사용자를 위한 ${NAME} $0이(가) 설치되어 있습니다. 이 설치는 관리자가 업데이트해야 합니다.$\r$\n$\r$\n대신 지금 사용자만을 위해 따로 설치할까요?"
LangString NewerInstalled ${LANG_KOREAN} "더 새로운 버전($OldVersion)이 설치되어 있습니다.$\r$\n$\r$\n이전 버전 ${VERSION}(으)로 바꿀까요?"
LangString ProgramRunning ${LANG_KOREAN} "${NAME}이(가) 실행 중입니다.$\r$\n$\r$\n프로그램을 닫고 [다시 시도]를 누르세요. 그만두려면 [취소]를 누르세요."
LangString ProgramRunningAnyUser ${LANG_KOREAN} "${NAME}이(가) 실행 중입니다.$\r$\n$\r$\n프로그램을 닫고 [다시 시도]를 누르세요. 이 PC의 다른 사용자가 실행 중이면, 그 사용자가 프로그램을 닫거나 로그아웃한 뒤에 [다시 시도]를 누르세요. 그만두려면 [취소]를 누르세요."
LangString ProgramStillRunning ${LANG_KOREAN} "${NAME}이(가) 실행 중이라 아무것도 바꾸지 않았습니다."
LangString AllUsersOutsideProgramFiles ${LANG_KOREAN} "모든 사용자를 위한 설치는 Program Files 폴더 안에만 할 수 있어 아무것도 바꾸지 않았습니다."
LangString CannotWrite ${LANG_KOREAN} "파일을 쓸 수 없어 아무것도 바꾸지 않았습니다."
LangString CannotReplace ${LANG_KOREAN} "설치된 파일을 바꿀 수 없어 원래대로 되돌렸습니다."
LangString UninstallNeedsAdmin ${LANG_KOREAN} "모든 사용자를 위한 설치는 관리자만 제거할 수 있습니다."
LangString CannotRemove ${LANG_KOREAN} "설치된 파일을 지울 수 없어 아무것도 지우지 않았습니다."
LangString SavedLoginSection ${LANG_KOREAN} "저장된 로그인 정보 (아이디 저장)"
LangString CacheSection ${LANG_KOREAN} "프로그램 캐시 (배너 그림, 받아 둔 데이터베이스)"

; ---------------------------------------------------------------------------------------
; Shared by the installer and the uninstaller (each gets its own copy, "un." for the latter).

; $0 = 1 when a copy of the program started from $INSTDIR runs, any user's: each holds a
; mutex named for its folder (platform/windows/named_mutex.cpp spells the name the same way:
; the folder's long form, upper case, "/" for "\"). A copy of another folder does not count,
; and neither does Explorer, a scanner or the indexer reading the files.
!macro ProgramRunning UN
Function ${UN}ProgramRunning
  StrCpy $0 0
  StrCpy $1 $INSTDIR
  System::Call 'kernel32::GetLongPathNameW(w "$INSTDIR", w .r2, i ${NSIS_MAX_STRLEN}) i .r3'
  ${If} $3 > 0
  ${AndIf} $3 < ${NSIS_MAX_STRLEN}
    StrCpy $1 $2
  ${EndIf}
  System::Call 'user32::CharUpperW(w r1 r1)'
  ${WordReplace} $1 "\" "/" "+" $1
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Global\MORVEL_Drivoro_Folder_$1") p .r1 ?e'
  Pop $2
  ${If} $1 P<> 0
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $0 1
  ${ElseIf} $2 = 5
    ; ERROR_ACCESS_DENIED: it is there, made by a copy of another user.
    StrCpy $0 1
  ${EndIf}
FunctionEnd

; Waits for the program to end: asks the user to close it, or, silent, waits up to 10 s.
; $0 = 1 when it still runs.
Function ${UN}WaitForProgram
  StrCpy $3 0
  ${Do}
    Call ${UN}ProgramRunning
    ${If} $0 = 0
      Return
    ${EndIf}
    ${If} ${Silent}
      ${If} $3 >= 20
        Return
      ${EndIf}
      IntOp $3 $3 + 1
      Sleep 500
    ${Else}
      ${If} $MultiUser.InstallMode == "AllUsers"
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(ProgramRunningAnyUser)" IDRETRY retry
      ${Else}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(ProgramRunning)" IDRETRY retry
      ${EndIf}
      Return
      retry:
    ${EndIf}
  ${Loop}
FunctionEnd

; The next entry of the list file open in $R0 into $R1, "" at its end. An entry that would
; reach outside the folder is skipped, and so is $Skipped.
Function ${UN}NextListed
  ${Do}
    ClearErrors
    FileRead $R0 $R1
    ${If} ${Errors}
      StrCpy $R1 ""
      Return
    ${EndIf}
    ${TrimNewLines} $R1 $R1
    Call ${UN}InsideFolder
    ${If} $4 = 1
    ${AndIf} $R1 != $Skipped
      Return
    ${EndIf}
  ${Loop}
FunctionEnd

; $4 = 1 when $R1 is a path inside the folder: relative, without ".." or a drive.
Function ${UN}InsideFolder
  StrCpy $4 0
  StrCpy $5 $R1 1
  ${If} $R1 == ""
  ${OrIf} $5 == "\"
  ${OrIf} $5 == "/"
    Return
  ${EndIf}
  StrLen $6 $R1
  StrCpy $7 0
  ${DoWhile} $7 < $6
    StrCpy $5 $R1 2 $7
    ${If} $5 == ".."
      Return
    ${EndIf}
    StrCpy $5 $R1 1 $7
    ${If} $5 == ":"
      Return
    ${EndIf}
    IntOp $7 $7 + 1
  ${Loop}
  StrCpy $4 1
FunctionEnd

; Every file the list file $R4 names, moved from $INSTDIR into the folder $R3 where it is
; there; $R5 = 1 when one could not go (the rest stay).
Function ${UN}MoveListedAside
  StrCpy $R5 0
  FileOpen $R0 $R4 r
  ${Do}
    Call ${UN}NextListed
    ${If} $R1 == ""
      ${Break}
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\$R1"
      ${GetParent} "$R3\$R1" $R2
      CreateDirectory $R2
      ; Explorer drawing the icon, a scanner or the indexer may hold a file for a moment.
      StrCpy $9 0
      ${Do}
        ClearErrors
        Rename "$INSTDIR\$R1" "$R3\$R1"
        ${IfNot} ${Errors}
          StrCpy $9 -1
          ${Break}
        ${EndIf}
        IntOp $9 $9 + 1
        ${If} $9 > 10
          ${Break}
        ${EndIf}
        Sleep 300
      ${Loop}
      ${If} $9 <> -1
        StrCpy $R5 1
        ${Break}
      ${EndIf}
    ${EndIf}
  ${Loop}
  FileClose $R0
FunctionEnd

; The files the list file $R4 names, from the folder $R3 back into $INSTDIR where nothing is.
Function ${UN}PutBack
  FileOpen $R0 $R4 r
  ${Do}
    Call ${UN}NextListed
    ${If} $R1 == ""
      ${Break}
    ${EndIf}
    ${If} ${FileExists} "$R3\$R1"
    ${AndIfNot} ${FileExists} "$INSTDIR\$R1"
      ${GetParent} "$INSTDIR\$R1" $R2
      CreateDirectory $R2
      Rename "$R3\$R1" "$INSTDIR\$R1"
    ${EndIf}
  ${Loop}
  FileClose $R0
FunctionEnd

; Removes the folders the list file $R4 names files in, when nothing else is in them.
Function ${UN}RemoveEmptyFolders
  FileOpen $R0 $R4 r
  ${Do}
    Call ${UN}NextListed
    ${If} $R1 == ""
      ${Break}
    ${EndIf}
    ${GetParent} "$INSTDIR\$R1" $R2
    ${If} $R2 != $INSTDIR
      RMDir $R2
    ${EndIf}
  ${Loop}
  FileClose $R0
FunctionEnd

; The uninstall entry of the scope chosen (SHCTX): $OldDir and $OldVersion, empty when none.
; A version before the folder was recorded is found through its uninstaller.
Function ${UN}ReadInstalled
  ReadRegStr $OldDir SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $OldVersion SHCTX "${UNINSTALL_KEY}" "DisplayVersion"
  ${If} $OldDir == ""
    ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "UninstallString"
    ${If} $0 != ""
      ${WordReplace} $0 '"' "" "+" $0
      ${GetParent} $0 $OldDir
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend

!insertmacro ProgramRunning ""
!insertmacro ProgramRunning "un."

; Earlier versions kept the saved login, password in plain text, in one folder for the whole
; PC, readable by every user. The program moves it into its owner's own file at their next
; login; an elevated installer or uninstaller for all users removes what is left, whoever
; wrote it. Only the files the earlier versions wrote: any user may make this folder, and an
; elevated run must not follow what a user put there.
!macro RemoveFormerSavedLogin UN
Function ${UN}RemoveFormerSavedLogin
  ${If} $MultiUser.InstallMode != "AllUsers"
    Return
  ${EndIf}
  ReadEnvStr $1 ProgramData
  ${If} $1 == ""
    Return
  ${EndIf}
  StrCpy $1 "$1\MORVEL_Drivoro"
  ; FILE_ATTRIBUTE_DIRECTORY without FILE_ATTRIBUTE_REPARSE_POINT: a real folder, not a link.
  System::Call 'kernel32::GetFileAttributesW(w "$1") i .r2'
  ${If} $2 = -1
    Return
  ${EndIf}
  IntOp $3 $2 & 0x410
  ${If} $3 <> 0x10
    Return
  ${EndIf}
  Delete "$1\tindrakhid.ini"
  Delete "$1\tindrakhid.ini.part"
  RMDir $1
FunctionEnd
!macroend
!insertmacro RemoveFormerSavedLogin ""
!insertmacro RemoveFormerSavedLogin "un."

; ---------------------------------------------------------------------------------------
; Installer

Function .onInit
  StrCpy $GivenDir $INSTDIR
  ; An administrator starts with all users, or the scope of what is installed; a standard
  ; user with their own.
  !insertmacro MULTIUSER_INIT
!ifdef TEST_STANDARD_USER
  ; Only in the tests' own installers: Wine's user is always an administrator.
  StrCpy $MultiUser.Privileges "User"
  Call MultiUser.InstallMode.CurrentUser
!endif

  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AllUsers" $R1
  ${IfNot} ${Errors}
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "$(NeedsAdmin)" /SD IDOK
      SetErrorLevel ${EXIT_NEEDS_ADMIN}
      Quit
    ${EndIf}
    Call MultiUser.InstallMode.AllUsers
    StrCpy $ScopeGiven 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CurrentUser" $R1
  ${IfNot} ${Errors}
    Call MultiUser.InstallMode.CurrentUser
    StrCpy $ScopeGiven 1
  ${EndIf}

  ; A standard user cannot change an installation for all users; they may have their own.
  ${If} $MultiUser.Privileges != "Admin"
  ${AndIf} $MultiUser.Privileges != "Power"
  ${AndIf} $ScopeGiven != 1
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "UninstallString"
    ReadRegStr $2 HKLM "${UNINSTALL_KEY}" "UninstallString"
    ${If} $1 == ""
    ${AndIf} $2 != ""
      ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
      MessageBox MB_YESNO|MB_ICONEXCLAMATION "$(AllUsersInstalled)" /SD IDNO IDYES +3
      SetErrorLevel ${EXIT_NEEDS_ADMIN}
      Quit
    ${EndIf}
  ${EndIf}
  Call FindInstalled
FunctionEnd

; Where this installation goes: the installed folder of the scope, or a new one.
Function FindInstalled
  Call ReadInstalled
  ${If} $OldDir != ""
    ; An upgrade stays where the installed version is.
    StrCpy $INSTDIR $OldDir
    ${VersionCompare} $OldVersion "${VERSION}" $0
    ${If} $0 = 1
      MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(NewerInstalled)" /SD IDNO IDYES +3
      SetErrorLevel ${EXIT_NEWER_INSTALLED}
      Quit
    ${EndIf}
    StrCpy $Welcome "$(WelcomeUpgrade)"
  ${Else}
    ${If} $GivenDir != ""
      StrCpy $INSTDIR $GivenDir
    ${EndIf}
    StrCpy $Welcome "$(WelcomeNew)"
  ${EndIf}
FunctionEnd

Function ScopePagePre
  ${If} $OldDir != ""
  ${OrIf} $ScopeGiven = 1
    Abort
  ${EndIf}
FunctionEnd

Function ScopePageLeave
  ; The page set the scope's own folder; nothing of ours is installed in either scope here.
  ${If} $GivenDir != ""
    StrCpy $INSTDIR $GivenDir
  ${EndIf}
FunctionEnd

Function DirectoryPagePre
  ${If} $OldDir != ""
    Abort
  ${EndIf}
FunctionEnd

; $0 = 1 when $INSTDIR may hold a new installation for all users: inside Program Files, whose
; access list lets no standard user change a file. Elsewhere (a folder such as C:\Tools) any
; user could replace a DLL that every user's program then loads.
Function AllUsersFolderAllowed
  StrCpy $0 1
  ${If} $MultiUser.InstallMode != "AllUsers"
    Return
  ${EndIf}
  GetFullPathName $1 $INSTDIR
  GetFullPathName $2 $PROGRAMFILES64
  StrCpy $2 "$2\"
  StrLen $3 $2
  StrCpy $4 $1 $3
  ; (StrCmp is not case-sensitive, as Windows' paths are not.)
  ${If} $4 != $2
    StrCpy $0 0
  ${EndIf}
FunctionEnd

Function .onVerifyInstDir
  ${If} $OldDir == ""
    Call AllUsersFolderAllowed
    ${If} $0 = 0
      Abort
    ${EndIf}
  ${EndIf}
FunctionEnd

; Everything the new version holds goes into a folder beside the installed files first; the
; installed files are swapped only when all of it is written, and swapped back if any file
; cannot move, so the folder holds one version or the other, never a mix.
Section "Install"
  ${If} $OldDir == ""
    Call AllUsersFolderAllowed
    ${If} $0 = 0
      SetErrorLevel ${EXIT_FAILED}
      Abort "$(AllUsersOutsideProgramFiles)"
    ${EndIf}
  ${EndIf}
  SetOutPath $INSTDIR
  Call WaitForProgram
  ${If} $0 = 1
    SetErrorLevel ${EXIT_PROGRAM_RUNNING}
    Abort "$(ProgramStillRunning)"
  ${EndIf}
  StrCpy $R6 "$INSTDIR\${NEW_DIR}"
  StrCpy $R7 "$INSTDIR\${OLD_DIR}"
  ; What an interrupted run left.
  RMDir /r $R6
  RMDir /r $R7
  ; The installed version's list, read before its files move, and the new one's.
  InitPluginsDir
  StrCpy $R8 "$PLUGINSDIR\old-files.txt"
  StrCpy $R9 "$PLUGINSDIR\new-files.txt"
  ${If} ${FileExists} "$INSTDIR\${FILES_LIST}"
    CopyFiles /SILENT "$INSTDIR\${FILES_LIST}" $R8
  ${EndIf}

  SetOutPath $R6
  ClearErrors
  File /r "${STAGE}\*.*"
  File "/oname=${FILES_LIST}" "${FILELIST}"
  WriteUninstaller "$R6\uninstall.exe"
  CopyFiles /SILENT "$R6\${FILES_LIST}" $R9
  SetOutPath $INSTDIR
  ${If} ${Errors}
    RMDir /r $R6
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(CannotWrite)"
  ${EndIf}

  ; It may have been started while the files were written.
  Call WaitForProgram
  ${If} $0 = 1
    RMDir /r $R6
    SetErrorLevel ${EXIT_PROGRAM_RUNNING}
    Abort "$(ProgramStillRunning)"
  ${EndIf}

  ; The installed version aside: what its list names, and any file in the way of a new one.
  StrCpy $R3 $R7
  StrCpy $R4 $R8
  Call MoveListedAside
  ${If} $R5 = 0
    StrCpy $R4 $R9
    Call MoveListedAside
  ${EndIf}
  ${If} $R5 = 0
    ; The new version in.
    FileOpen $R0 $R9 r
    ${Do}
      Call NextListed
      ${If} $R1 == ""
        ${Break}
      ${EndIf}
      ${GetParent} "$INSTDIR\$R1" $R2
      CreateDirectory $R2
      ClearErrors
      Rename "$R6\$R1" "$INSTDIR\$R1"
      ${If} ${Errors}
        StrCpy $R5 1
        ${Break}
      ${EndIf}
    ${Loop}
    FileClose $R0
  ${EndIf}
  ${If} $R5 = 1
    ; Back as it was: the new files out, the installed ones in.
    StrCpy $R3 $R6
    StrCpy $R4 $R9
    Call PutBackNew
    StrCpy $R3 $R7
    StrCpy $R4 $R8
    Call PutBack
    StrCpy $R4 $R9
    Call PutBack
    RMDir /r $R6
    RMDir /r $R7
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(CannotReplace)"
  ${EndIf}

  ; The files the new version no longer ships go with the rest of the old one. A file still
  ; held open stays in the old folder until the next installation.
  RMDir /r $R7
  RMDir /r $R6
  StrCpy $R4 $R8
  Call RemoveEmptyFolders

  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${EXE}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "MORVEL"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "URLInfoAbout" "${HOMEPAGE}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  Call RemoveFormerSavedLogin
SectionEnd

; The new files already placed, back into the new folder $R3 (list file $R4): those in the
; installation that are no longer in the new folder.
Function PutBackNew
  FileOpen $R0 $R4 r
  ${Do}
    Call NextListed
    ${If} $R1 == ""
      ${Break}
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\$R1"
    ${AndIfNot} ${FileExists} "$R3\$R1"
      ${GetParent} "$R3\$R1" $R2
      CreateDirectory $R2
      Rename "$INSTDIR\$R1" "$R3\$R1"
    ${EndIf}
  ${Loop}
  FileClose $R0
FunctionEnd

; ---------------------------------------------------------------------------------------
; Uninstaller

Section "-un.Program"
  Call un.WaitForProgram
  ${If} $0 = 1
    SetErrorLevel ${EXIT_PROGRAM_RUNNING}
    Abort "$(ProgramStillRunning)"
  ${EndIf}
  ; Run from the folder (_?=) it cannot go; run from its copy in TEMP it goes last.
  StrCpy $Skipped "uninstall.exe"
  StrCpy $R7 "$INSTDIR\${OLD_DIR}"
  RMDir /r $R7
  InitPluginsDir
  StrCpy $R8 "$PLUGINSDIR\installed-files.txt"
  ${If} ${FileExists} "$INSTDIR\${FILES_LIST}"
    CopyFiles /SILENT "$INSTDIR\${FILES_LIST}" $R8
  ${Else}
    ; Without its list only the program and the uninstaller are known to be ours.
    FileOpen $0 $R8 w
    FileWrite $0 "${EXE}$\r$\nuninstall.exe$\r$\n"
    FileClose $0
  ${EndIf}
  ; All of it aside first: a file that cannot go leaves the installation whole.
  StrCpy $R3 $R7
  StrCpy $R4 $R8
  Call un.MoveListedAside
  ${If} $R5 = 1
    Call un.PutBack
    RMDir /r $R7
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(CannotRemove)"
  ${EndIf}
  Delete "$SMPROGRAMS\${NAME}.lnk"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  RMDir /r $R7
  Delete "$INSTDIR\uninstall.exe"
  Call un.RemoveEmptyFolders
  ; Only when nothing else is in it: the folder may be one the user chose.
  SetOutPath $TEMP
  RMDir $INSTDIR
  Call un.RemoveFormerSavedLogin
SectionEnd

; The current user's own files, never another user's; kept unless chosen.
Section /o "un.$(SavedLoginSection)" SecSavedLogin
  SetShellVarContext current
  Delete "$APPDATA\MORVEL_Drivoro\tindrakhid.ini"
  Delete "$APPDATA\MORVEL_Drivoro\tindrakhid.ini.part"
  RMDir "$APPDATA\MORVEL_Drivoro"
SectionEnd

Section /o "un.$(CacheSection)" SecCache
  SetShellVarContext current
  Delete "$LOCALAPPDATA\MORVEL_Drivoro\a.jpg"
  Delete "$LOCALAPPDATA\MORVEL_Drivoro\rp_cam.idb"
  Delete "$LOCALAPPDATA\MORVEL_Drivoro\rp_cam.idb.source"
  Delete "$LOCALAPPDATA\MORVEL_Drivoro\*.part"
  RMDir "$LOCALAPPDATA\MORVEL_Drivoro"
SectionEnd

; After the sections, whose numbers it uses.
Function un.onInit
  UserInfo::GetAccountType
  Pop $MultiUser.Privileges
  ; The installation is the one whose folder this uninstaller is in.
  SetShellVarContext all
  Call un.ReadInstalled
  GetFullPathName $0 $OldDir
  GetFullPathName $1 $INSTDIR
  ${If} $OldDir != ""
  ${AndIf} $0 == $1
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "$(UninstallNeedsAdmin)" /SD IDOK
      SetErrorLevel ${EXIT_NEEDS_ADMIN}
      Quit
    ${EndIf}
    Call un.MultiUser.InstallMode.AllUsers
  ${Else}
    Call un.MultiUser.InstallMode.CurrentUser
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/RemoveUserData" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecSavedLogin}
    !insertmacro SelectSection ${SecCache}
  ${EndIf}
FunctionEnd
