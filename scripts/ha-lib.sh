# Shared by scripts/ha-test.sh and scripts/ha-agent-test.sh (sourced, not run): the PLC and
# printer stand-ins with a request stream, an instance folder for them, and the accounting of
# every request of the stream. The sourcing script sets root (the source tree) and build.
# shellcheck disable=SC2154

# The stand-ins, listening on ADDRESS (in the network namespace NETNS when one is given). The
# PLC stand-in raises "R<n>" every EVERY ms whenever the gateway has taken the one before; the
# printer stand-in answers "A R<n>" and keeps each document in WORK/printed. Every line of the
# PLC stand-in gets the wall-clock time it was written at in front, in WORK/plc.log.
#   start_standins WORK ADDRESS EVERY [NETNS]; sets plc_port, printer_port and standin_pids
start_standins() {
  local work=$1 address=$2 every=$3 netns=${4:-} run=()
  [[ -z $netns ]] || run=(ip netns exec "$netns")
  mkdir -p "$work/printed"
  "${run[@]}" "$build/tools/printersim/printersim" --bind "$address" --port 0 --reply 'A %r\n' \
    --save "$work/printed" > "$work/printer.log" 2>&1 &
  standin_pids+=($!)
  "${run[@]}" "$build/tools/plcsim/plcsim" serve --host "$address" --port 0 --module LS --trace \
    --plc LS --every "$every" --data 'R{n}' \
    > >(while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done > "$work/plc.log") 2>&1 &
  standin_pids+=($!)
  printer_port=$(wait_for_port "$work/printer.log")
  plc_port=$(wait_for_port "$work/plc.log")
}

wait_for_port() {
  local port
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening.* port=\([0-9]*\).*/\1/p' "$1" 2> /dev/null | head -n 1)
    [[ -n $port ]] && { echo "$port"; return 0; }
    sleep 0.1
  done
  echo "no listening line in $1:" >&2
  cat "$1" >&2
  return 1
}

stop_standins() {
  local p
  for p in "${standin_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait "${standin_pids[@]}" 2>/dev/null || true
  standin_pids=()
}

# An instance folder for module LS, a client of both stand-ins, with the options a line that must
# lose nothing runs with: failures reported to the PLC, answers framed by lines, the journal on,
# and what an earlier run left sent again when it is less than 30 s old.
#   make_instance DIR ADDRESS STATUS_PORT [STATUS_ADDRESS]
make_instance() {
  local dir=$1 address=$2 status_port=$3 status_address=${4:-127.0.0.1}
  mkdir -p "$dir/Labels"
  sed -e "s/^\"Netid\",\"[^\"]*\"/\"Netid\",\"$address.1.1\"/" \
    -e "s/^\"Port\",\"[^\"]*\"/\"Port\",\"$plc_port\"/" \
    -e "s/^\"RemoteHost\",\"[^\"]*\"/\"RemoteHost\",\"$address\"/" \
    -e "s/^\"RemotePort\",\"[^\"]*\"/\"RemotePort\",\"$printer_port\"/" \
    -e 's/^"Modulname","[^"]*"/"Modulname","LS"/' -e 's/^"ServerPath","[^"]*"/"ServerPath",""/' \
    "$root/examples/Kavetta.zelb" > "$dir/Kavetta.zelb"
  cat > "$dir/Kavetta.ini" <<EOF
[safety]
reportPeerFailures = true
answerFraming = line
answerTimeoutSec = 2
dropLateAnswers = true
maxQueuedItems = 25
[journal]
enabled = true
replayMaxAgeSec = 30
[status]
port = $status_port
address = $status_address
EOF
}

# The messages of the event log, one a line.
event_messages() {
  sed -n 's|.*<Msg>Kavetta / [^/]* / \(.*\)</Msg>.*|\1|p' "$1" 2>/dev/null
}

# The first answer a gateway run hands to the PLC after the moment T0 (epoch seconds), counting
# only answers that run received, the run being the one that started after the first RUNS
# starts in the event log. Prints the seconds from T0 to it, nothing when there is none.
#   first_answer_after WORK EVENTLOG T0 RUNS
first_answer_after() {
  local work=$1 events=$2 t0=$3 runs=$4 n
  n=$(event_messages "$events" | awk -v runs="$runs" '
    /Start Kavetta/ { started++; next }
    started > runs && match($0, /SocketData received: \([0-9]+ msec\) A R[0-9]+$/) {
      sub(/.* A R/, ""); print; exit }')
  [[ -n $n ]] || return 0
  awk -v t0="$t0" -v n="$n" '$1 > t0 && $0 ~ (" plc answer .* data=A R" n "$") {
    printf "%.1f\n", $1 - t0; exit }' "$work/plc.log"
}

# The last request the PLC has raised.
last_raised() {
  sed -n 's/.* plc request n=\([0-9]*\) .*/\1/p' "$1/plc.log" | tail -n 1
}

# Every request up to LAST: what became of it. Prints one line per range FROM..TO given
# (ranges as "NAME:FROM:TO", requests FROM+1 to TO):
#   NAME requests N taken T answered A reported-to-plc P reported-at-takeover S lost-unseen L
#     printed-twice D on-the-wire W unmarked U
# and the numbers of the lost and unmarked ones after "lost:" and "unmarked:" when there are any.
#   account WORK EVENTLOG RANGE...
account() {
  local work=$1 events=$2
  shift 2
  {
    sed -n 's/.* plc \(request\|taken\) n=\([0-9]*\) .*/\1 \2/p' "$work/plc.log"
    sed -n 's/.* plc answer .* data=A R\([0-9]*\)$/answered \1/p' "$work/plc.log"
    sed -n 's/.* write .* LS\.anfordErrText=.*[ :]R\([0-9]*\)$/plc \1/p' "$work/plc.log"
    event_messages "$events" | sed -n \
      -e 's/.*Journal: dropped .*[ :]R\([0-9]*\)$/takeover \1/p' \
      -e 's/.*Journal: replayed request .*on the wire when the gateway stopped.*[ :]R\([0-9]*\)$/onwire \1/p' \
      -e 's/.* Send Data:R\([0-9]*\)$/take \1/p'
    local doc
    for doc in "$work"/printed/*; do
      [[ -f $doc ]] && printf 'printed %s\n' "$(tr -dc '0-9' < "$doc")"
    done
  } | awk -v ranges="$*" '
    { seen[$1, $2]++ }
    END {
      nr = split(ranges, list, " ")
      for (r = 1; r <= nr; r++) {
        split(list[r], part, ":")
        req = tk = ans = plc = to = lost = dbl = wire = unm = 0; lostList = unmList = ""
        for (n = part[2] + 1; n <= part[3]; n++) {
          if (!seen["request", n]) continue
          req++
          if (seen["taken", n]) tk++
          if (seen["answered", n]) ans++
          else if (seen["plc", n]) plc++
          else if (seen["takeover", n]) to++
          else if (seen["taken", n]) { lost++; lostList = lostList " R" n }
          if (seen["printed", n] > 1) {
            dbl++
            if (seen["onwire", n]) wire++
            else if (seen["take", n] < 2) { unm++; unmList = unmList " R" n }
          }
        }
        printf "%s requests %d taken %d answered %d reported-to-plc %d reported-at-takeover %d lost-unseen %d printed-twice %d on-the-wire %d unmarked %d", \
          part[1], req, tk, ans, plc, to, lost, dbl, wire, unm
        if (lostList != "") printf " lost:%s", lostList
        if (unmList != "") printf " unmarked:%s", unmList
        printf "\n"
      }
    }'
}
