; The Windows installer of the ZEM云盘 client, built by the Windows build:
;   makensis -DVERSION=<x.y.z> -DBIN_DIR=<programs> -DICON=<icon.ico> -DOUT=<setup.exe> installer.nsi
; Installs the four programs and the icon, registers the sync folder, starts
; the agent at log-on and once at the end; /S installs silently. The
; uninstaller stops the agent, unregisters the folder and removes the
; programs and entries; the user's files and settings stay.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "x64.nsh"

!define PRODUCT "ZEM云盘"
!define KEY "ZemCloudDisk"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${KEY}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define MENU "$SMPROGRAMS\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES64\${KEY}"
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Ends a running agent: first the polite close, then by force, so the
; programs can be replaced or removed.
!macro StopAgent
  nsExec::Exec '"$SYSDIR\taskkill.exe" /IM corvane.exe'
  Pop $1
  Sleep 1500
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM corvane.exe'
  Pop $1
!macroend

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Install"
  !insertmacro StopAgent
  SetOutPath "$INSTDIR\bin"
  File "${BIN_DIR}\corvane.exe"
  File "${BIN_DIR}\keygate.exe"
  File "${BIN_DIR}\register.exe"
  File "${BIN_DIR}\populate.exe"
  SetOutPath "$INSTDIR\assets"
  File "${ICON}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  DetailPrint "Registering the ${PRODUCT} folder (register.exe)..."
  ExecWait '"$INSTDIR\bin\register.exe"' $0
  ${If} $0 != 0
    DetailPrint "[ERR] register.exe failed with exit code $0; the folder is not registered."
    MessageBox MB_OK|MB_ICONEXCLAMATION "register.exe failed (exit code $0): the ${PRODUCT} folder could not be registered as the sync root. The agent cannot connect until register.exe succeeds." /SD IDOK
  ${EndIf}

  WriteRegStr HKCU "${RUN_KEY}" "${KEY}" '"$INSTDIR\bin\corvane.exe"'
  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\${PRODUCT}.lnk" "$INSTDIR\bin\corvane.exe" "" "$INSTDIR\assets\icon.ico"
  ; "/" cannot stand in a file name; the entry reads "登录 - 切换账号".
  CreateShortcut "${MENU}\登录 - 切换账号.lnk" "$INSTDIR\bin\keygate.exe" "" "$INSTDIR\assets\icon.ico"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "ZEM"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\assets\icon.ico"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1

  Exec '"$INSTDIR\bin\corvane.exe"'
SectionEnd

Section "Uninstall"
  !insertmacro StopAgent
  DetailPrint "Unregistering the ${PRODUCT} folder (register.exe -u)..."
  ExecWait '"$INSTDIR\bin\register.exe" -u' $0
  ${If} $0 != 0
    DetailPrint "[WARN] register.exe -u failed with exit code $0."
  ${EndIf}
  DeleteRegValue HKCU "${RUN_KEY}" "${KEY}"
  Delete "${MENU}\${PRODUCT}.lnk"
  Delete "${MENU}\登录 - 切换账号.lnk"
  RMDir "${MENU}"
  Delete "$INSTDIR\bin\corvane.exe"
  Delete "$INSTDIR\bin\keygate.exe"
  Delete "$INSTDIR\bin\register.exe"
  Delete "$INSTDIR\bin\populate.exe"
  RMDir "$INSTDIR\bin"
  Delete "$INSTDIR\assets\icon.ico"
  RMDir "$INSTDIR\assets"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
  DetailPrint "Your files, the ${PRODUCT} folder and the settings in AppData were left in place."
  MessageBox MB_OK|MB_ICONINFORMATION "${PRODUCT} was removed. Your files, the ${PRODUCT} folder and your settings were left in place." /SD IDOK
SectionEnd
