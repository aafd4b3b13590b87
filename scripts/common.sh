# Shared by the project's scripts: the Debian packages the project needs, installed
# only when one is missing.
# shellcheck shell=bash

# dbus-daemon: the session bus of the tests' own (dbus-run-session).
PACKAGES=(cmake g++ make pkgconf qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-translations-l10n
          libgl-dev libssl-dev libsodium-dev openssl minisign nginx-light xvfb xauth x11-utils
          dbus-daemon)

ensure_packages() {
    local missing=()
    for package in "${PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
                grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends \
        "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# make_demo_site SITE SIZE: the demo catalogue in SITE/online_installer, with its large
# release made there, SIZE bytes (as head -c counts them) of padding after its script.
make_demo_site() {
    local site=$1 size=$2
    mkdir -p "$site"
    cp -r "$ROOT/demo/online_installer" "$site/"
    local large="$site/online_installer/orbistane-3.0-full.sh"
    cp "$ROOT/demo/online_installer/orbistane-2.1.sh" "$large"
    sed -i 's/2\.1/3.0 (full)/' "$large"
    printf 'exit 0\n' >> "$large"
    head -c "$size" /dev/zero | tr '\0' '#' | fold -w 79 >> "$large"
}

# pin_and_sign MANIFEST_TOOL RELEASES KEYS: what the vendor's release pipeline does.
# Pins the SHA-256 and size of every release the demo manifest lists, signs the
# manifest in RELEASES with KEYS/demo.key and checks the whole folder as the program
# will read it.
pin_and_sign() {
    local tool=$1 releases=$2 keys=$3
    while IFS=$'\t' read -r tag file name _; do
        if [ "${tag^^}" = W2003 ]; then
            "$tool" add "$releases" "$file" "${name%$'\r'}" > /dev/null
        fi
    done < "$ROOT/demo/online_installer/manifest.txt"
    minisign -S -s "$keys/demo.key" -m "$releases/manifest.txt" > /dev/null
    "$tool" check "$releases" --public-key "$keys/demo.pub"
}

# serve_site SITE PORT [DIRECTIVES]: nginx in the background serving SITE on
# 127.0.0.1:PORT, with DIRECTIVES for its /online_installer/ location; sets SERVER_PID.
# Fails when the server did not start (the port in use, most likely).
serve_site() {
    local site=$1 port=$2 directives=${3:-}
    mkdir -p "$site/logs"
    cat > "$site/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $site/nginx.pid;
error_log $site/logs/error.log;
events { worker_connections 64; }
http {
    access_log $site/logs/access.log;
    client_body_temp_path $site/logs;
    proxy_temp_path $site/logs;
    fastcgi_temp_path $site/logs;
    uwsgi_temp_path $site/logs;
    scgi_temp_path $site/logs;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $site;
        location /online_installer/ { $directives }
    }
}
CONF
    local nginx
    nginx=$(command -v nginx || echo /usr/sbin/nginx)
    "$nginx" -c "$site/nginx.conf" -p "$site" &
    SERVER_PID=$!
    sleep 0.5
    kill -0 "$SERVER_PID" 2>/dev/null
}
