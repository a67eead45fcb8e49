# The benchmark as a picture: delivered msg/s per body size for each
# transport (both axes logarithmic) beside the round-trip percentiles.
# bench/run.sh --plot FILE.svg runs it as
#
#   gnuplot -e "data='PLOT_DATA'; output='FILE.svg'; title='...'" bench/plot.gp
#
# on the file that kavra_bench_e2e --plot-data wrote (its block 0: one column
# per transport, "-" where a transport did not run; block 1, unless the run
# left the round trip out: one row per transport).

if (!exists("title")) title = "kavra_bench_e2e"
set terminal svg size 1200,560 dynamic enhanced font "sans,12" background "white"
set output output
set encoding utf8
set datafile separator "\t"
set datafile missing "-"
set key autotitle columnheader

# Block 1 is there only when the round trip was measured.
stats data using 2 nooutput
latency = STATS_blocks > 1
set multiplot layout 1,(latency ? 2 : 1) title title font ",14" noenhanced

set title "Delivered messages per second, by body size"
set logscale xy
set autoscale xfix
set offsets graph 0.08, graph 0.08, 0, 0
set xtics ("64 B" 64, "1 KiB" 1024, "8812 B" 8812)
set xlabel "body size (bytes)"
set format y "10^{%L}"
set ylabel "msg/s (medians over rounds)"
set grid ytics mytics lc rgb "#dddddd"
set key below maxrows 2 font ",11" width -2
# Fixed per column, so a transport keeps its colour between runs.
colours = "#d62728 #9467bd #1f77b4 #2ca02c #7f7f7f #bcbd22"
points = "7 5 9 11 13 15"
plot for [i=2:7] data index 0 using 1:i with linespoints lw 2 pt (word(points, i-1)+0) ps 1.1 \
    lc rgb (word(colours, i-1))

if (!latency) { unset multiplot; exit }

# Logarithmic as well: under load the 99th percentile can be a hundred
# times the median, which would flatten the medians on a linear axis.
unset logscale
set offsets 0, 0, 0, 0
set logscale y
set xrange [*:*]
set yrange [5:*]
set format y "%g"
set xtics auto
unset xlabel
set ylabel "round trip, 64-byte body (µs)"
set title "Round trip: 50th and 99th percentile"
set style data histograms
set style histogram clustered gap 1.5
set style fill solid 0.85 border -1
set boxwidth 0.9
set key below maxrows 2 font ",11" width -2
set grid noxtics ytics mytics
plot data index 1 using 2:xtic(1) lc rgb "#1f77b4", \
     '' index 1 using 3 lc rgb "#aec7e8", \
     '' index 1 using 4 lc rgb "#ff7f0e", \
     '' index 1 using 5 lc rgb "#ffbb78"

unset multiplot
