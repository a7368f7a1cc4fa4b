#!/usr/bin/env bash
# Sets up and builds clipweave for CPython 3.10, then runs "clipweave demo":
# a narrated recap made offline from a test-pattern video, through local
# stand-ins of the download service and of the speech service (which speaks
# with flite), rendered by the studio with captions. Results go to out/demo/
# (FINAL_RECAP.mp4, FINAL_RECAP.srt, and the
# source video as sample.mp4 for a first real run), with a hook title and
# music under the voice: a few generated chords, made once into
# out/demo/music.flac. Extra arguments go to "clipweave demo" (e.g.
# --speed 2 --seconds 30, --music FILE, --title TEXT; --classic, which
# takes neither music nor a title, leaves them out).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh py310
# The console script, not "python -m", so that the installed package is
# imported rather than the unbuilt source tree in the current directory.
studio=(--title "A town, a stranger, a secret" --music out/demo/music.flac)
for a in "$@"; do [ "$a" = --classic ] && studio=(); done
if ((${#studio[@]})) && [ ! -s out/demo/music.flac ]; then
    # Four chords of two seconds (C, A minor, F, G), each faded at its ends:
    # the demo loops them under the narration.
    mkdir -p out/demo
    chords=("261.63 329.63 392.00" "220.00 261.63 329.63" "174.61 220.00 261.63" "196.00 246.94 293.66")
    graph="" joined=""
    for i in "${!chords[@]}"; do
        notes=""
        for f in ${chords[$i]}; do graph+="sine=f=$f:d=2:sample_rate=48000[n$i$f];"; notes+="[n$i$f]"; done
        graph+="${notes}amix=inputs=3:normalize=0,volume=0.2,afade=t=in:d=0.08,afade=t=out:st=1.8:d=0.2[c$i];"
        joined+="[c$i]"
    done
    ffmpeg -nostdin -v error -y -filter_complex "${graph}${joined}concat=n=4:v=0:a=1[out]" -map "[out]" \
        out/demo/music.flac.part.flac
    mv out/demo/music.flac.part.flac out/demo/music.flac
fi
exec .venv/py310/bin/clipweave demo --output-dir out/demo --overwrite "${studio[@]}" "$@"
