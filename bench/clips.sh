#!/usr/bin/env bash
# The benchmarks' clips: 1920x1080 frames made by ffmpeg from pictures in Debian packages, each
# moving the way a camera moves, so that the codecs meet the kinds of content real footage has.
#   bench/clips.sh list                          the clip names, one a line
#   bench/clips.sh make NAME PIXFMT FRAMES OUT   OUT.y4m: a Y4M stream, anything else: raw video
#   bench/clips.sh show NAME PIXFMT FRAMES OUT   the ffmpeg command that make runs
#
# Every clip is made afresh in the precision of the pixel format asked for: the 10-bit ones are
# scaled (and their colours converted) by filters working on 10-bit samples, so their low bits
# are real rather than an 8-bit picture widened. gbrap adds an alpha channel that follows the
# picture (a soft luma key), since a constant alpha would flatter every codec.
set -euo pipefail

names=(flower autumn bythewater colorfulcups fallenleaf path grey kite grain screen)
mono=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf
sans=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

# The largest picture of a wallpaper; its files are named WIDTHxHEIGHT.jpg.
wallpaper() {
    local best='' area=0 file size
    for file in "/usr/share/wallpapers/$1/contents/images/"*.jpg; do
        size=$(basename "$file" .jpg)
        if ((${size%x*} * ${size#*x} > area)); then
            area=$((${size%x*} * ${size#*x}))
            best=$file
        fi
    done
    [ -n "$best" ] || {
        echo "clips.sh: no pictures of $1 (is plasma-workspace-wallpapers installed?)" >&2
        exit 1
    }
    echo "$best"
}

# Each clip sets `input` (ffmpeg's input arguments) and `motion` (a filter chain from that input
# to 1920x1080 frames in the working format $work).
#
# The wallpapers are JPEGs: their chroma was stored at half resolution (in both directions for
# most), in 8x8 blocks. At their own size every chroma or R-G value would repeat over pixel
# pairs and the block grid would line up with every codec's rows, which prediction finds far
# easier than a camera's picture. So each is first scaled down a little, by a factor that is not
# a simple fraction, which resamples all of it.
still() {
    input=(-loop 1 -i "$1")
}

# A pan by whole pixels: the picture scaled once to WIDTH, then a window moving by X and Y
# (expressions of the frame number n) as far as the picture goes.
pan() {
    motion="format=$work,scale=$1:-2,crop=1920:1080:'min($2,iw-ow)':'min($3,ih-oh)'"
}

# A slow zoom in from WIDTH, with the window's corner at X and Y: every frame is scaled by its
# own factor, so every frame is resampled, by fractions of a pixel. The window's position is
# given in frames, not in the picture's size, which the crop does not see change.
zoom() {
    motion="format=$work,scale=w='$1+6*n':h=-2:eval=frame,crop=1920:1080:'$2':'$3'"
}

recipe() {
    case "$1" in
    flower) # a camera's photograph without JPEG's chroma, panned diagonally
        still /usr/share/libjxl-testdata/jxl/flower/flower.pnm
        pan 2160 '4*n' '2*n'
        ;;
    autumn) # an illustration, zoomed on its centre
        still "$(wallpaper Autumn)"
        zoom 2304 '192+3*n' '180+1.875*n'
        ;;
    bythewater) # water, wood and a soft sky, panned right
        still "$(wallpaper BytheWater)"
        pan 2240 '5*n' 160
        ;;
    colorfulcups) # saturated colours and hard edges, zoomed while panning
        still "$(wallpaper ColorfulCups)"
        zoom 2304 '40+4*n' '60+2*n'
        ;;
    fallenleaf) # a blurred background and a sharp subject, panned diagonally
        still "$(wallpaper FallenLeaf)"
        pan 2240 '3*n' '2*n'
        ;;
    path) # fine, dense detail (a forest), zoomed on its centre
        still "$(wallpaper Path)"
        zoom 2240 '160+3*n' '160+1.875*n'
        ;;
    grey) # a black and white photograph (no colour at all), tilted down
        still "$(wallpaper Grey)"
        pan 2240 160 '3*n'
        ;;
    kite) # mostly smooth sky with clouds, zoomed while panning left
        still "$(wallpaper Kite)"
        zoom 2400 'max(400-3*n,0)' '210+1.875*n'
        ;;
    grain)
        # Film grain: noise that changes every frame, on a photograph panned right. ffmpeg's
        # noise filter works on 8-bit samples only, so the grain goes onto the picture before
        # it is scaled; scaling then gives the 10-bit clip grain with real low bits (and
        # softens it a little, as in a scanned film). Strength 20 leaves noise of about 4
        # levels of 255 (its standard deviation), which is heavy grain.
        still "$(wallpaper EveningGlow)"
        pan 2240 '4*n' 160
        motion="format=gbrp,noise=alls=20:allf=t+u:all_seed=7,${motion#format=gbrp,}"
        ;;
    screen)
        # Screen content: an editor's window, flat panels and bars, with numbered source code
        # scrolling by whole pixels, a page of text scrolling at half the speed and a status
        # line that changes every frame. The texts come from Debian's base system, so the clip
        # is the same on every machine. The boxes are drawn in 8 bits (ffmpeg draws boxes in no
        # deeper planar format); the text in the working format.
        input=(-f lavfi -i color=c=0x1e1e1e:s=1864x1000:r=25)
        motion="drawbox=x=1180:y=0:w=684:h=1000:c=0xf3f3f3:t=fill"
        motion+=",drawbox=x=0:y=236:w=1180:h=22:c=0x264f78:t=fill"
        motion+=",drawbox=x=1200:y=940:w=120:h=40:c=0x0e639c:t=fill,format=$work"
        motion+=",drawtext=fontfile=$mono:fontsize=16:line_spacing=5:expansion=none"
        motion+=":textfile=$lines:fontcolor=0xd4d4d4:x=8:y='8-4*n'"
        motion+=",drawtext=fontfile=$sans:fontsize=15:line_spacing=6:expansion=none"
        motion+=":textfile=/usr/share/common-licenses/GPL-3:fontcolor=0x202020:x=1200:y='12-2*n'"
        motion+=",pad=1864:1020:0:0:color=0x007acc,pad=1920:1080:56:60:color=0x333333"
        motion+=",drawtext=fontfile=$sans:fontsize=14:fontcolor=white:x=1640:y=1063"
        motion+=":text='frame %{frame_num}  UTF-8  LF'"
        ;;
    *)
        echo "clips.sh: no clip named $1 (the clips: ${names[*]})" >&2
        exit 2
        ;;
    esac
}

# Sets `command`, the ffmpeg command that makes the clip.
clip_command() {
    local name=$1 pixfmt=$2 frames=$3 out=$4 chain muxer=rawvideo
    work=gbrp
    [[ $pixfmt == *10le ]] && work=gbrp10le
    lines="$out.lines"
    recipe "$name"
    chain="$motion,format=$work"
    case "$pixfmt" in
    yuv*) chain+=",scale=out_color_matrix=bt709:out_range=tv,format=$pixfmt" ;;
    gbrap)
        # The key: bright parts opaque, dark parts clear, with a soft edge between.
        chain+=",split[c][k];[k]format=gray,lut=c0='clip((val-48)*2,0,255)',gblur=sigma=1.5[a]"
        chain+=";[c][a]alphamerge,format=gbrap"
        ;;
    "$work") ;;
    *) chain+=",format=$pixfmt" ;;
    esac
    [[ $out == *.y4m ]] && muxer=yuv4mpegpipe
    # Accurate rounding and chroma interpolation, so that no conversion leaves a pattern of its
    # own for the codecs to find.
    command=(ffmpeg -hide_banner -loglevel error -nostdin
        -sws_flags bicubic+accurate_rnd+full_chroma_int "${input[@]}" -vf "$chain"
        -frames:v "$frames" -strict -1 -f "$muxer" -y "$out.part")
}

case "${1:-}:$#" in
list:1)
    printf '%s\n' "${names[@]}"
    exit 0
    ;;
make:5 | show:5) clip_command "$2" "$3" "$4" "$5" ;;
*)
    echo "usage: $0 list | make NAME PIXFMT FRAMES OUT | show NAME PIXFMT FRAMES OUT" >&2
    exit 2
    ;;
esac
if [ "$1" = show ]; then
    for arg in "${command[@]}"; do
        [[ $arg == *[\'\ \;\[]* ]] && arg="\"$arg\""
        printf '%s ' "$arg"
    done
    echo
    exit 0
fi
# The screen's source code, its lines numbered.
awk '{ printf "%4d  %s\n", NR, $0 }' /usr/include/stdlib.h >"$lines"
"${command[@]}"
rm -f "$lines"
mv "$5.part" "$5"
