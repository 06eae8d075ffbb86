#!/bin/bash
# Builds a minimal product that includes the shipped docs/pendreg.wxi, as an
# author would with wixl, and checks the package's tables: the companions in
# one component, every action deferred and run without impersonation, the
# uninstall before RemoveFiles and after InstallInitialize, the install last
# before InstallFinalize, and the restart asked for after it. With rollback
# actions asked for, the rollback comes before the install.
# Usage: check-wxi.sh WIXL MSIINFO SOURCE_DIR
set -u
wixl=$1 msiinfo=$2 source_dir=$3
source "$source_dir/tests/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch pendreg.exe pendreg-record.exe pendreg-inspect.exe
cat >product.wxs <<'WXS'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Example" Language="1033" Version="1.0.0" Manufacturer="Example"
           UpgradeCode="3f1d2c4b-5a69-4e7f-8a9b-0c1d2e3f4a5b">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="example.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="A later version is installed."/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="Example"/>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
      <ComponentRef Id="PendregCompanions"/>
    </Feature>
    <?define PendregSource = "" ?>
    <?define PendregDirectory = "INSTALLDIR" ?>
    <?define PendregView = "32" ?>
    <?define PendregFiles = ""[INSTALLDIR]component.dll"" ?>
    <?define PendregReplace = "" ?>
    <?define PendregLog = "[WindowsFolder]Logs\[ProductName]-pendreg.log" ?>
    <?define PendregOldVersions = "WIX_UPGRADE_DETECTED" ?>
    <?include pendreg.wxi ?>
  </Product>
</Wix>
WXS

build() { # rollback
    rm -f product.msi
    "$wixl" -a x86 -I "$source_dir/docs" -D PendregRollback="$1" -o product.msi product.wxs 2>&1 |
        grep -v GLib
    [ -s product.msi ]
}
table() { # msiinfo writes CR LF
    "$msiinfo" export product.msi "$1" | tr -d '\r'
}
row() { # table, first field: the rest of the row, tab-separated
    table "$1" | awk -F '\t' -v key="$2" '$1 == key { $1 = ""; print substr($0, 2) }' OFS='\t'
}
sequence() { row InstallExecuteSequence "$1" | awk -F '\t' '{ print $NF }'; }
before() { # action, action: the first is sequenced before the second
    local first second
    first=$(sequence "$1") second=$(sequence "$2")
    [ -n "$first" ] && [ -n "$second" ] && [ "$first" -lt "$second" ] ||
        { echo "$1 at ${first:-nothing}, $2 at ${second:-nothing}"; return 1; }
}
last_before() { # action, action: nothing stands between them
    local at next
    at=$(sequence "$1") next=$(sequence "$2")
    ! table InstallExecuteSequence |
        awk -F '\t' -v from="$at" -v to="$next" 'NR > 3 && $3 > from && $3 < to { print; found = 1 } END { exit !found }'
}
deferred_without_impersonation() { # action: an executable of an installed file, 18, deferred, 1024, no impersonation, 2048
    local type
    type=$(row CustomAction "$1" | cut -f1)
    [ "$type" = 3090 ] || { echo "$1: type ${type:-missing}"; return 1; }
}
same_text() { # what, expected, actual
    [ "$2" = "$3" ] || { printf 'expected: %s\nactual:   %s\n' "$2" "$3"; return 1; }
}
components_files() {
    table File | awk -F '\t' 'NR > 3 { print $2, $3 }' | sort | tr '\n' ' '
}

check "the minimal product that includes the shipped source builds" build no
check "the companions are one component" same_text "files" \
    "PendregCompanions pendreg-inspect.exe PendregCompanions pendreg-record.exe PendregCompanions pendreg.exe " \
    "$(components_files)"
for action in PendregInstall PendregUninstall PendregUpgrade; do
    check "$action is deferred and runs without impersonation" deferred_without_impersonation "$action"
done
check "the uninstall runs after InstallInitialize" before InstallInitialize PendregUninstall
check "the uninstall runs before RemoveFiles" before PendregUninstall RemoveFiles
check "the install runs after InstallFiles" before InstallFiles PendregInstall
check "nothing stands between the install and InstallFinalize" last_before PendregInstall InstallFinalize
check "the upgrade's undo runs before the install" before PendregUpgrade PendregInstall
check "the restart is asked for after InstallFinalize" before InstallFinalize ScheduleReboot
check "no rollback action without PendregRollback" test -z "$(row CustomAction PendregInstallRollback)"
check "the product builds with rollback actions" build yes
check "the rollback comes before the install" before PendregInstallRollback PendregInstall
[ "$failures" -eq 0 ]
