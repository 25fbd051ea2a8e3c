#!/bin/sh
# Builds the three tray icons from the art in src/:
#   OUTDIR/tuner.ico           (resource 100) the tuner box
#   OUTDIR/tuner_notready.ico  (resource 101) the box with a red cross badge
#   OUTDIR/tuner_ready.ico     (resource 102) the box with a green tick badge
# Each icon holds 16, 24, 32 and 48 px images in 4, 8 and 32 bit colour and a 256 px PNG.
# Needs Debian's imagemagick (convert) and icoutils (icotool); the output is the same bytes on every run.
#
# Usage: generate.sh OUTDIR

set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
outdir=$1

here=$(cd "$(dirname "$0")" && pwd)
src=$here/src

# Debian's ImageMagick 6 binary; CONVERT overrides it.
if [ -z "${CONVERT:-}" ]; then
    if [ -x /usr/bin/convert ]; then CONVERT=/usr/bin/convert; else CONVERT=convert; fi
fi
ICOTOOL=${ICOTOOL:-icotool}

# One thread and no clock-dependent chunks keep the output identical between runs and machines.
MAGICK_THREAD_LIMIT=1
export MAGICK_THREAD_LIMIT
PNG_OUT="-strip -define png:exclude-chunks=all -depth 8"

work=$(mktemp -d "${TMPDIR:-/tmp}/tavrix-icons.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# render_mvg MVG GRID SIZE OUT: draws MVG (laid out on a GRIDxGRID canvas, coordinates on pixel
# edges) at SIZE px. Drawn at a multiple of the size and averaged down, so edges that sit on the
# grid stay sharp and the rest is antialiased by coverage.
render_mvg() {
    local mvg=$1 grid=$2 size=$3 out=$4 ss hi factor
    if [ "$size" -gt 64 ]; then ss=4; else ss=16; fi
    hi=$((size * ss))
    factor=$(awk -v h="$hi" -v g="$grid" 'BEGIN { printf "%.8f", h / g }')
    # ImageMagick puts pixel centres on integer coordinates: shift by half a pixel.
    "$CONVERT" -size "${hi}x${hi}" xc:none \
        -draw "translate -0.5,-0.5
scale $factor,$factor
$(cat "$mvg")" \
        -filter Box -resize "${size}x${size}" $PNG_OUT "PNG32:$out"
}

# box_art SIZE OUT: the plain box at SIZE px (hand-placed pixels below 32 px).
box_art() {
    case $1 in
        16|24) "$CONVERT" "$src/box-$1.xpm" $PNG_OUT "PNG32:$2" ;;
        32) render_mvg "$src/box-32.mvg" 32 32 "$2" ;;
        *) render_mvg "$src/box-48.mvg" 48 "$1" "$2" ;;
    esac
}

# badge_art STATE SIZE OUT: the badge alone (transparent elsewhere) for STATE notready|ready.
badge_art() {
    case $2 in
        16|24) "$CONVERT" "$src/badge-$1-$2.xpm" $PNG_OUT "PNG32:$3" ;;
        *) render_mvg "$src/badge-$1.mvg" 48 "$2" "$3" ;;
    esac
}

# Gap between badge and box, so the badge reads on its own: 1 px up to 32 px, then about size/24.
badge_gap() {
    local gap=$((($1 + 12) / 24))
    if [ "$gap" -lt 1 ]; then gap=1; fi
    echo "$gap"
}

# full_colour NAME SIZE OUT: the finished 32-bit picture of icon NAME at SIZE px.
full_colour() {
    local name=$1 size=$2 out=$3 state
    box_art "$size" "$work/box.png"
    if [ "$name" = tuner ]; then
        "$CONVERT" "$work/box.png" $PNG_OUT "PNG32:$out"
        return
    fi
    state=${name#tuner_}
    badge_art "$state" "$size" "$work/badge.png"
    "$CONVERT" "$work/box.png" \
        \( "$work/badge.png" -alpha extract -morphology Dilate "Disk:$(badge_gap "$size")" \
           -background black -alpha shape \) \
        -compose DstOut -composite \
        "$work/badge.png" -compose Over -composite \
        $PNG_OUT "PNG32:$out"
}

# reduced IN PALETTE OUT: IN with on/off transparency and its colours reduced by PALETTE, which
# is either a colour count or an image whose colours to keep. Transparent pixels take one more
# palette entry, so 15 colours fit a 4-bit and 255 an 8-bit image.
reduced() {
    local colours
    case $2 in
        *.png) colours="+dither -remap $2" ;;
        *) colours="+dither -colors $2" ;;
    esac
    "$CONVERT" "$1" \
        \( +clone -alpha extract -threshold 50% \) \
        \( -clone 0 -background black -alpha remove -alpha off $colours \) \
        -delete 0 +swap -alpha off -compose CopyOpacity -composite \
        $PNG_OUT "PNG32:$3"
}

# The 4-bit images use the colours of the hand-drawn 16 px picture, so every size shows the same
# few colours instead of a fresh quantisation of its antialiased edges.
build_icon() {
    local name=$1 size palette=$work/$1-palette.png
    full_colour "$name" 16 "$work/$name-16-32.png"
    "$CONVERT" "$work/$name-16-32.png" -background '#1B1F25' -alpha remove -alpha off \
        +dither -colors 15 $PNG_OUT "PNG24:$palette"
    set --
    for size in 16 24 32 48; do
        full_colour "$name" "$size" "$work/$name-$size-32.png"
        reduced "$work/$name-$size-32.png" "$palette" "$work/$name-$size-4.png"
        reduced "$work/$name-$size-32.png" 255 "$work/$name-$size-8.png"
        set -- "$@" -b 4 "$work/$name-$size-4.png" -b 8 "$work/$name-$size-8.png" \
            -b 32 "$work/$name-$size-32.png"
    done
    full_colour "$name" 256 "$work/$name-256.png"
    "$ICOTOOL" -c -o "$outdir/$name.ico" "$@" -r "$work/$name-256.png"
}

mkdir -p "$outdir"
for name in tuner tuner_notready tuner_ready; do
    build_icon "$name"
done
