#!/usr/bin/env bash
# Installs KavarSMS for an operator: builds (unless told where the programs are), copies the
# programs into one program folder, creates the service manager's folder, adds a start-up
# unit that starts the automatic services at boot, and a menu entry for the control panel.
#
#   sudo scripts/install.sh [--prefix /opt/kavar] [--owner USER] [--bin build/bin] [--no-boot-unit]
#
# The program folder belongs to the operator (USER, default the one who ran sudo): the
# control panel writes KavarConfig.ini, Log/, the embedded database and the batch files
# there without administrator rights; the service runs as root.
#
# Run it again to update the programs; KavarConfig.ini, the database and Log/ in the
# program folder are kept. The panel asks for administrator rights through pkexec when it
# installs, starts or stops the service, so pkexec is installed as well.
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=/opt/kavar
bin=""
boot_unit=1
owner=${SUDO_USER:-root}
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --owner) owner=$2; shift 2 ;;
    --no-boot-unit) boot_unit=0; shift ;;
    *) echo "install: unknown option $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "install: run as root (sudo)" >&2; exit 1; }

programs=(KavarSMS Velmo SC Net KavarShell KavarSetup)
if [ -z "$bin" ]; then
  scripts/install-deps.sh
  KAVAR_BUILD_DIR=${KAVAR_BUILD_DIR:-build-release} scripts/build.sh \
    -DCMAKE_BUILD_TYPE=Release -DKAVAR_BUILD_TESTS=OFF
  bin=${KAVAR_BUILD_DIR:-build-release}/bin
fi
for p in "${programs[@]}"; do
  [ -x "$bin/$p" ] || { echo "install: $bin/$p is missing" >&2; exit 1; }
done
if ! command -v pkexec >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends pkexec ||
    echo "install: pkexec could not be installed; the panel cannot raise its rights" >&2
fi

mkdir -p "$prefix"
# A running Velmo keeps its file open: replace files rather than overwrite them in place.
for p in "${programs[@]}"; do
  install -m 0755 "$bin/$p" "$prefix/.$p.new"
  mv -f "$prefix/.$p.new" "$prefix/$p"
done
mkdir -p "$prefix/Log"
chown "$owner" "$prefix" "$prefix/Log"
# The service manager's database: readable by everyone (the panel reads the state),
# changed only with administrator rights.
mkdir -p /var/lib/kavar/scm
chmod 0755 /var/lib/kavar /var/lib/kavar/scm

if [ "$boot_unit" -eq 1 ] && [ -d /etc/systemd/system ]; then
  cat >/etc/systemd/system/kavar-services.service <<UNIT
[Unit]
Description=KavarSMS: start the services set to start automatically
After=network-online.target
Wants=network-online.target

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=$prefix/SC boot

[Install]
WantedBy=multi-user.target
UNIT
  if [ -d /run/systemd/system ]; then
    systemctl daemon-reload && systemctl enable kavar-services.service >/dev/null
  fi
fi

if [ -d /usr/share/applications ]; then
  cat >/usr/share/applications/kavarsms.desktop <<DESKTOP
[Desktop Entry]
Type=Application
Name=KavarSMS
Comment=SMS outbox sender: settings, database, service
Exec=$prefix/KavarSMS
Terminal=false
Categories=Office;
DESKTOP
fi

echo "install: KavarSMS is in $prefix"
echo "install: start the control panel with $prefix/KavarSMS"
