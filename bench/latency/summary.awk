# Turns the `latency.<case>.<figure> value unit` lines of bench/latency.sh into one table row per
# case and the ratios of our cases to their baselines.
$1 ~ /^latency\./ {
    split($1, parts, ".")
    name = parts[2]
    figure = substr($1, length("latency." name ".") + 1)
    value[name, figure] = $2
    if (!(name in seen)) { seen[name] = 1; order[++cases] = name }
}
function show(name, figure) {
    return ((name, figure) in value) ? value[name, figure] : "-"
}
function ratio(ours, base, figure) {
    if (!((ours, figure) in value) || !((base, figure) in value) || value[base, figure] == 0)
        return
    printf "ratio %s/%s %s %.2f\n", ours, base, figure, value[ours, figure] / value[base, figure]
}
END {
    split("latency_p50 latency_p95 latency_max decoded_fps bitrate host_cpu host_rss controller_cpu controller_rss accept_to_first_frame input_round_trip_p50 input_round_trip_p95", columns, " ")
    print ""
    printf "%-15s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s\n", "case", "p50ms", "p95ms", "maxms", "fps",
           "Mbit/s", "hostCPU", "hostMiB", "ctlCPU", "ctlMiB", "1st_ms", "in_p50", "in_p95"
    for (i = 1; i <= cases; ++i) {
        name = order[i]
        printf "%-15s", name
        for (c = 1; c <= 12; ++c) {
            figure = columns[c]
            # The floor is one process and the VNC viewer is its own program: same columns.
            if (figure == "controller_cpu" && !((name, figure) in value))
                figure = ((name, "viewer_cpu") in value) ? "viewer_cpu" : "process_cpu"
            if (figure == "controller_rss" && !((name, figure) in value))
                figure = ((name, "viewer_rss") in value) ? "viewer_rss" : "process_rss"
            if (figure == "accept_to_first_frame" && !((name, figure) in value))
                figure = "connect_to_first_update"
            printf " %7s", show(name, figure)
        }
        printf "\n"
    }
    print ""
    split("latency_p50 latency_p95", compared, " ")
    for (k = 1; k <= 2; ++k) {
        ratio("sharp_direct", "floor_sharp", compared[k])
        ratio("standard_relay", "floor_standard", compared[k])
        ratio("sharp_direct", "vnc", compared[k])
        ratio("floor_paced", "floor_sharp", compared[k])
    }
    ratio("sharp_direct", "vnc", "input_round_trip_p50")
    ratio("sharp_direct", "vnc", "input_round_trip_p95")
}
