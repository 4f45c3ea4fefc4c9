#!/bin/sh
# The PNG of a keybench run's latency distributions: the share of calls that
# took at most x microseconds, for (a) and (b), alone and with a second
# handle keying. Installs gnuplot-nox when it is missing (not a CI need).
#   wine/bench/plot.sh [run folder, default build/wine-bench/last] [png]
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
run=${1:-"$root/build/wine-bench/last"}
png=${2:-"$here/latency.png"}
if ! command -v gnuplot >/dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends gnuplot-nox
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in a b a-loaded b-loaded; do
    [ -f "$run/$name.txt" ] || { echo "no $run/$name.txt: run wine/bench/run.sh first"; exit 1; }
    sort -g "$run/$name.txt" | awk '{ v[NR] = $1 } END { for (i = 1; i <= NR; i++) print v[i], i / NR }' \
        >"$work/$name.cdf"
done
machine=$(head -1 "$run/figures.txt" | sed 's/^machine: //; s/, load average.*//; s/ (Debian[^)]*)//')
gnuplot <<PLOT
set terminal pngcairo size 1100,520 font "DejaVu Sans,10"
set output "$png"
set multiplot layout 1,2 title "Keying latency under Wine, one run of wine/bench/run.sh ($machine)"
set logscale x
set xrange [40:10000]
set xlabel "microseconds per call"
set grid xtics mxtics ytics
set arrow 1 from 1000, graph 0 to 1000, graph 1 nohead dashtype 3 lc rgb "gray40"
a = "(a) EscapeCommFunction via vkserial"
b = "(b) WriteFile to the HID collection"
set title "share of calls done within x"
set yrange [0:1]
set key right bottom
plot "$work/a.cdf" using 1:2 with lines lw 2 lc rgb "#c0392b" title a, \
     "$work/b.cdf" using 1:2 with lines lw 2 lc rgb "#2471a3" title b, \
     "$work/a-loaded.cdf" using 1:2 with lines lw 2 dt 2 lc rgb "#c0392b" title "(a), a second handle keying RTS", \
     "$work/b-loaded.cdf" using 1:2 with lines lw 2 dt 2 lc rgb "#2471a3" title "(b), a second handle writing"
set title "the tail: share of calls slower than x (p99 at 0.01)"
set logscale y
set yrange [0.0002:1]
set key right top
plot "$work/a.cdf" using 1:(1 - \$2) with lines lw 2 lc rgb "#c0392b" notitle, \
     "$work/b.cdf" using 1:(1 - \$2) with lines lw 2 lc rgb "#2471a3" notitle, \
     "$work/a-loaded.cdf" using 1:(1 - \$2) with lines lw 2 dt 2 lc rgb "#c0392b" notitle, \
     "$work/b-loaded.cdf" using 1:(1 - \$2) with lines lw 2 dt 2 lc rgb "#2471a3" notitle, \
     0.01 with lines dt 3 lc rgb "gray40" notitle
unset multiplot
PLOT
echo "plot: $png"
