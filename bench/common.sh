# Shared by the benchmarks, sourced from the repository's root: timing, medians, and an nginx of
# our own on 127.0.0.1.

source scripts/dependencies.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

# A Release build of the given targets in the folder $1, quietly.
build_release()
{
    cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$1" -j "$(nproc)" --target "${@:2}" >/dev/null
}

seconds_now() { date +%s.%N; }
nanoseconds_now() { date +%s%N; }
calculate() { awk "BEGIN { print $1 }"; }
# $1 / $2 to three decimals.
ratio() { awk "BEGIN { printf \"%.3f\", $1 / $2 }"; }

# The median of the numbers in $1, separated by blanks or line feeds.
median()
{
    tr ' ' '\n' <<<"$1" | grep . | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Serves the folder $1 from nginx on a free port of 127.0.0.1, with its configuration and logs in
# the folder $2, until the script exits; further arguments are directives for its server, such as
# "access_log $2/access.log timed;", which logs each request's end and duration in seconds, its
# Range and the bytes of its body. Sets nginx_url.
start_nginx()
{
    local root=$1 work=$2 directives=${*:3}
    mkdir -p "$work/temp"
    local port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$work/nginx.conf" <<NGINX
daemon off;
master_process off;
pid $work/nginx.pid;
events {}
http {
    access_log off;
    log_format timed '\$msec \$request_time "\$http_range" \$body_bytes_sent';
    sendfile on;
    client_body_temp_path $work/temp;
    proxy_temp_path $work/temp;
    fastcgi_temp_path $work/temp;
    uwsgi_temp_path $work/temp;
    scgi_temp_path $work/temp;
    server {
        listen 127.0.0.1:$port;
        root $root;
        $directives
    }
}
NGINX
    rm -f "$work/nginx.pid"
    /usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
    nginx_pid=$!
    trap 'kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true' EXIT
    # nginx writes its pid file once it listens.
    for _ in $(seq 100); do
        [ -f "$work/nginx.pid" ] && break
        kill -0 "$nginx_pid" 2>/dev/null || { cat "$work/error.log" >&2; exit 1; }
        sleep 0.1
    done
    [ -f "$work/nginx.pid" ] || { echo "nginx did not start" >&2; exit 1; }
    nginx_url="http://127.0.0.1:$port"
}
