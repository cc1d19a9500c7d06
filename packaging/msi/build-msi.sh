#!/usr/bin/env bash
# Builds Pelmar's Windows Installer package from packaging/msi/pelmar.wxs
# with wixl (msitools), reproducibly:
#
#   packaging/msi/build-msi.sh VERSION COMMIT PROGRAMS FILES ACTION OUT.msi
#
# PROGRAMS is the folder of the Windows programs the package installs (as
# they ship: signed ones when the release is signed), FILES the folder of
# LICENSE.txt and RELEASE-NOTES.txt, ACTION pelmar-msi-action.dll. Every
# file's time is taken as SOURCE_DATE_EPOCH (which must be set), the
# product code is derived from the version, the package code from the
# version and the commit: two builds of one commit give the same bytes.
# scripts/release.sh runs it; the release's test runs it with a lower
# VERSION to make the package that the release's package upgrades.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
die() { echo "build-msi: FAIL: $*" >&2; exit 1; }
(($# == 6)) || die "usage: packaging/msi/build-msi.sh VERSION COMMIT PROGRAMS FILES ACTION OUT.msi"
version=$1 commit=$2 programs=$3 files=$4 action=$5 out=$(realpath -m "$6")
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "version '$version' is not MAJOR.MINOR.PATCH"
: "${SOURCE_DATE_EPOCH:?build-msi: SOURCE_DATE_EPOCH must be set}"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/programs" "$stage/files"
for program in pelmar.exe pelmar-install.exe pelmar-service.exe pelmar-mkimage.exe pelmar-image.exe; do
  cp "$programs/$program" "$stage/programs/" || die "no $program in $programs"
done
# Text files for Windows' own editors: lines end with CR LF.
for file in LICENSE.txt RELEASE-NOTES.txt; do
  [[ -f "$files/$file" ]] || die "no $file in $files"
  sed 's/\r*$/\r/' "$files/$file" >"$stage/files/$file"
done
cp "$action" "$stage/pelmar-msi-action.dll"
# The cabinet stores each file's time: the commit's.
find "$stage" -type f -exec touch -d "@$SOURCE_DATE_EPOCH" {} +

# options.txt's lines, as actions that add each option's words to
# PELMAR_OPTIONS when its property is 1 (one line there is one option here),
# early enough for the installation's step and the removal's rollback alike.
# None of Pelmar's properties is a secure one: in a managed installation only
# an administrator's values reach the part that runs as the system account,
# and a standard user's repair runs with the kept arguments (pelmar.wxs).
secure="WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED"
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Include>'
  echo '  <InstallExecuteSequence>'
  n=0
  while read -r property words; do
    [[ -z "$property" || "$property" == \#* ]] && continue
    [[ "$property" =~ ^PELMAR_[A-Z0-9_]+$ && -n "$words" && "$words" =~ ^[-a-z0-9\ ]+$ ]] \
      || die "options.txt: '$property $words' is not PROPERTY OPTION-WORDS"
    ((n < 60)) || die "options.txt: more options than the sequence has room for"
    echo "    <Custom Action=\"Option_$property\" Sequence=\"$((1020 + n))\">$property = \"1\"</Custom>" >>"$stage/sequence"
    echo "  <CustomAction Id=\"Option_$property\" Property=\"PELMAR_OPTIONS\" Value=\"[PELMAR_OPTIONS]$words \" Impersonate=\"yes\"/>" >>"$stage/actions"
    n=$((n + 1))
  done <"$here/options.txt"
  cat "$stage/sequence" 2>/dev/null || true
  echo '  </InstallExecuteSequence>'
  cat "$stage/actions" 2>/dev/null || true
  echo '</Include>'
} >"$stage/options.wxi"

# The product code changes with every version (a major upgrade each time);
# the package code with every package. Both are name-based, from the
# upgrade code, which never changes.
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$here/pelmar.wxs")
[[ -n "$upgrade_code" ]] || die "pelmar.wxs names no upgrade code"
guid() { python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$upgrade_code" "$1"; }
product_code=$(guid "product $version")
package_code=$(guid "package $version $commit")

(cd "$stage" && wixl -a x64 -D "Version=$version" -D "ProductCode=$product_code" -D Programs=programs -D Files=files \
  -D Action=pelmar-msi-action.dll -I . -o package.msi "$here/pelmar.wxs" 2>&1 | { grep -v -e '^$' -e 'GLib' || true; }) 
[[ -f "$stage/package.msi" ]] || die "wixl made no package"
# What wixl cannot say: the public properties to pass to the elevated part;
# that the type-51 actions are plain (wixl marks them "no impersonation",
# which means nothing outside a deferred action); and that the removal's
# undoing is a rollback action (DLL 1 + rollback 256 + in the script 1024 +
# no impersonation 2048: wixl drops Execute="rollback"); and the refusal
# of an installation without arguments, an error action (type 19), which
# wixl cannot declare. Its text is formatted: no brackets in it.
refusal="Pelmar: PELMAR_ARGS is empty, and pelmar-install would install its defaults. Give the arguments for Pelmar in PELMAR_ARGS, or PELMAR_DEFAULTS=1 if the defaults are meant."
msibuild "$stage/package.msi" \
  -q "UPDATE Property SET Value='$secure' WHERE Property='SecureCustomProperties'" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RefuseNoArguments', 19, '', '$refusal')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RefuseNoArguments', 'NOT REMOVE=\"ALL\" AND NOT PELMAR_ARGS AND PELMAR_DEFAULTS <> \"1\"', 64)" \
  -q "UPDATE CustomAction SET Type=51 WHERE Type=2099" \
  -q "UPDATE CustomAction SET Type=3329 WHERE Action='PelmarUninstallRollback'" || die "msibuild could not finish the package"
python3 "$here/msi-summary.py" "$stage/package.msi" "{$package_code}" "$SOURCE_DATE_EPOCH" || die "the summary information"
mv "$stage/package.msi" "$out"
