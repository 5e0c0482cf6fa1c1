#!/usr/bin/env bash
# Checks the committed artwork in res/: format, size and a few designed pixels of
# every bitmap, the icon's images, and that the bitmaps are what tools/art/render
# makes from the sources in res/art/ (so nobody edits one without the other).
#
# Run from anywhere:  tests/unit/check_art.sh
# Needs ImageMagick (identify, convert, compare); the re-render check also needs
# rsvg-convert and the WenQuanYi Zen Hei font, as tools/art/render does.
# The checks read colour channels into variables that are used inside the
# arithmetic strings handed to ok(), where shellcheck cannot see them.
# shellcheck disable=SC2034
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
res=$root/res
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "check_art: FAIL: $*" >&2; }
# expect WHAT ACTUAL WANTED
expect() { if [ "$2" = "$3" ]; then pass; else fail "$1: got '$2', want '$3'"; fi; }
# ok WHAT CONDITION...: the condition is an arithmetic expression
ok() { local what=$1; shift; if (("$@")); then pass; else fail "$what"; fi; }

for tool in identify convert compare od; do
  command -v "$tool" >/dev/null || { echo "check_art: $tool is missing (apt-get install imagemagick)" >&2; exit 1; }
done

# px FILE X Y -> "R G B" (0..255)
px() {
  convert "$1" -crop "1x1+$2+$3" +repage -depth 8 \
    -format '%[fx:int(255*r+0.5)] %[fx:int(255*g+0.5)] %[fx:int(255*b+0.5)]' info:
}
# alpha FILE X Y -> 0..255
alpha() {
  convert "$1" -crop "1x1+$2+$3" +repage -depth 8 -format '%[fx:int(255*a+0.5)]' info:
}
# colours FILE W H X Y -> the distinct colours in that rectangle, one "#RRGGBB" a line
colours() {
  convert "$1" -crop "$2x$3+$4+$5" +repage -depth 8 -unique-colors txt:- |
    sed -n 's/.*\(#[0-9A-Fa-f]\{6\}\).*/\1/p' | tr 'a-f' 'A-F'
}
# le16/le32 FILE OFFSET -> unsigned little-endian integer at that byte
le16() { od -A n -t u2 -j "$2" -N 2 --endian=little "$1" | tr -d ' '; }
le32() { od -A n -t d4 -j "$2" -N 4 --endian=little "$1" | tr -d ' '; }

# ---- every bitmap: present, BMP, 24-bit uncompressed bottom-up, exact size ----
declare -A size=(
  [skin]=373x195
  [exit_normal]=24x17 [exit_pressed]=24x17 [exit_hover]=24x17
  [home_normal]=24x17 [home_pressed]=24x17 [home_hover]=24x17
  [min_normal]=24x17 [min_pressed]=24x17 [min_hover]=24x17
  [phone_normal]=60x40 [phone_pressed]=60x40 [phone_hover]=60x40
  [light_talking]=12x12 [light_online]=12x12
)
missing=0
for name in "${!size[@]}"; do
  f=$res/$name.bmp
  if [ ! -f "$f" ]; then
    fail "$name.bmp is missing"
    missing=1
    continue
  fi
  w=${size[$name]%x*} h=${size[$name]#*x}
  expect "$name.bmp magic" "$(head -c 2 "$f")" "BM"
  fmt=$(identify -format '%m %w %h' "$f" 2>/dev/null)
  case "$fmt" in BMP*) pass ;; *) fail "$name.bmp: identify says '$fmt', not a BMP" ;; esac
  expect "$name.bmp size" "${fmt#* }" "$w $h"
  expect "$name.bmp header size (40 = BITMAPINFOHEADER)" "$(le32 "$f" 14)" 40
  expect "$name.bmp width in header" "$(le32 "$f" 18)" "$w"
  expect "$name.bmp height in header (positive = bottom-up)" "$(le32 "$f" 22)" "$h"
  expect "$name.bmp bits per pixel" "$(le16 "$f" 28)" 24
  expect "$name.bmp compression (0 = none)" "$(le32 "$f" 30)" 0
  row=$(((w * 3 + 3) / 4 * 4))
  expect "$name.bmp file length" "$(stat -c %s "$f")" $((54 + row * h))
done
if [ $missing -ne 0 ]; then
  echo "check_art: $passed passed, $failed failed"
  exit 1
fi

skin=$res/skin.bmp

# ---- skin: the areas the program covers or paints over ----
expect "skin (100,50) is the panel teal" "$(px "$skin" 100 50)" "26 175 168"
# the teal edit control covers (25,55)-(193,137); the panel is flat teal there and a pixel round it
expect "skin under the edit control and 1 px round it is flat teal" \
  "$(colours "$skin" 170 84 24 54)" "#1AAFA8"
expect "panel reaches x=14 (left margin)" "$(px "$skin" 15 96)" "26 175 168"
expect "panel reaches y=45 (top margin)" "$(px "$skin" 100 47)" "26 175 168"
expect "panel reaches y=145 (bottom margin)" "$(px "$skin" 100 144)" "26 175 168"
expect "drop-down area (269,86)-(362,107) is plain white" "$(colours "$skin" 93 21 269 86)" "#FFFFFF"
read -r r g b <<<"$(px "$skin" 10 96)"
ok "left of the panel (10,96) is the light face, not teal ($r $g $b)" "r > 200 && g > 200 && b > 200"

# title strip: light grey, and calm where the names are painted (every column alike)
read -r r g b <<<"$(px "$skin" 150 15)"
ok "title strip (150,15) is light grey ($r $g $b)" \
  "r >= 200 && r < 255 && (r - g) * (r - g) <= 16 && (g - b) * (g - b) <= 16"
rows=$(convert "$skin" -crop 240x28+0+1 +repage -depth 8 txt:- | sed -n "s/^[0-9]*,\([0-9]*\):.*\(#[0-9A-Fa-f]\{6\}\).*/\1 \2/p" | sort -u | wc -l)
expect "title strip x 0..239, y 1..28 has one colour a row (the names TAVISK and Halvenor are painted there)" "$rows" 28
# under the strip the face is light again
read -r r g b <<<"$(px "$skin" 150 40)"
ok "face under the title strip (150,40) is light ($r $g $b)" "r > 230 && g > 230 && b > 230"

# credit line "Corvalis 制作" at (170,178): a calm light background
read -r lo <<<"$(convert "$skin" -crop 95x17+165+178 +repage -colorspace Gray -depth 8 -format '%[fx:int(255*minima+0.5)]' info:)"
read -r hi <<<"$(convert "$skin" -crop 95x17+165+178 +repage -colorspace Gray -depth 8 -format '%[fx:int(255*maxima+0.5)]' info:)"
ok "credit line area is light (darkest grey $lo)" "lo >= 215"
ok "credit line area is calm (grey spread $((hi - lo)))" "hi - lo <= 24"

# title button frames: a recess, darker than the strip just above-left of each button
for x in 283 309 335; do
  read -r r g b <<<"$(px "$skin" $((x - 1)) 10)"
  read -r sr sg sb <<<"$(px "$skin" 150 10)"
  ok "frame left of the title button at x=$x ($r) is darker than the strip ($sr)" "r < sr - 20"
  read -r r g b <<<"$(px "$skin" $((x + 24)) 14)"
  ok "frame right of the title button at x=$x is lit ($r $g $b)" "r >= 250"
done
expect "the three title button places look alike" \
  "$(convert "$skin" -crop 26x19+282+6 +repage -depth 8 rgb:- | md5sum)" \
  "$(convert "$skin" -crop 26x19+334+6 +repage -depth 8 rgb:- | md5sum)"

# off-state lamp spots: grey, round (corners are face), captions to their right
for spot in "251 35" "312 36"; do
  read -r x y <<<"$spot"
  read -r r g b <<<"$(px "$skin" $((x + 6)) $((y + 6)))"
  ok "lamp spot at ($x,$y) is grey ($r $g $b)" \
    "r > 150 && r < 245 && (r - g) * (r - g) <= 100 && (g - b) * (g - b) <= 100"
  read -r r g b <<<"$(px "$skin" "$x" "$y")"
  ok "lamp spot at ($x,$y) is round: its corner is the white face ($r $g $b)" "r > 240 && g > 240 && b > 240"
  dark=$(convert "$skin" -crop 26x13+$((x + 14))+"$y" +repage -colorspace Gray -depth 8 -format '%[fx:int(255*minima+0.5)]' info:)
  ok "caption after the lamp at ($x,$y) is drawn (darkest grey $dark)" "dark < 120"
done

# phone bezel: darker teal ring just outside the button
read -r r g b <<<"$(px "$skin" 236 76)"
ok "bezel above the phone button is dark teal ($r $g $b)" "g > r + 40 && g < 175"

# ---- lights: corners are the skin behind them; the ball colours ----
check_light() { # NAME X Y
  local f=$res/$1.bmp x=$2 y=$3 cx cy
  for c in "0 0" "11 0" "0 11" "11 11"; do
    read -r cx cy <<<"$c"
    expect "$1 corner ($cx,$cy) equals skin" "$(px "$f" "$cx" "$cy")" "$(px "$skin" $((x + cx)) $((y + cy)))"
  done
  if [ "$(px "$f" 6 7)" = "$(px "$skin" $((x + 6)) $((y + 7)))" ]; then
    fail "$1 does not cover the lamp spot"
  else
    pass
  fi
}
check_light light_online 251 35
check_light light_talking 312 36
read -r r g b <<<"$(px "$res/light_online.bmp" 7 8)"
ok "light_online is a blue ball ($r $g $b)" "b > r + 60 && b > g + 20"
read -r r g b <<<"$(px "$res/light_talking.bmp" 7 8)"
ok "light_talking is a pink ball ($r $g $b)" "r > 180 && r > b + 40 && b > g"
# glossy: a highlight near the top-left, lighter than the lower body
for n in light_online light_talking; do
  read -r r1 g1 b1 <<<"$(px "$res/$n.bmp" 5 3)"
  read -r r2 g2 b2 <<<"$(px "$res/$n.bmp" 6 9)"
  ok "$n has a highlight at the top-left" "r1 + g1 + b1 > r2 + g2 + b2 + 120"
done

# ---- title buttons ----
# background pixel (2,8) left of any glyph; glyph pixel per button
declare -A glyph=([exit]="12 9" [home]="12 13" [min]="12 11")
for b in exit home min; do
  read -r gx gy <<<"${glyph[$b]}"
  read -r nr ng nb <<<"$(px "$res/${b}_normal.bmp" 3 8)"
  read -r hr hg hb <<<"$(px "$res/${b}_hover.bmp" 3 8)"
  read -r pr pg pb <<<"$(px "$res/${b}_pressed.bmp" 3 8)"
  ok "${b}_normal is light grey ($nr $ng $nb)" "nr > 210 && (nr - nb) * (nr - nb) <= 100"
  ok "${b}_hover is a darker grey than normal ($hr $hg $hb)" \
    "hr < nr - 15 && hr > 120 && (hr - hb) * (hr - hb) <= 144"
  ok "${b}_pressed is pink ($pr $pg $pb)" "pr > 200 && pr > pg + 50 && pb > pg"
  read -r r g b2 <<<"$(px "$res/${b}_normal.bmp" "$gx" "$gy")"
  ok "${b}_normal glyph is dark at ($gx,$gy) ($r $g $b2)" "r < 130"
  read -r r g b2 <<<"$(px "$res/${b}_hover.bmp" "$gx" "$gy")"
  ok "${b}_hover glyph is dark at ($gx,$gy) ($r $g $b2)" "r < 110"
  read -r r g b2 <<<"$(px "$res/${b}_pressed.bmp" "$gx" "$gy")"
  ok "${b}_pressed glyph is white at ($gx,$gy) ($r $g $b2)" "r > 240 && g > 220"
done
# glyph shapes: a cross has its centre and its corners inked, a bar has ink only on its row
read -r r _ _ <<<"$(px "$res/exit_normal.bmp" 9 6)"
ok "exit glyph reaches its top-left arm ($r)" "r < 150"
read -r r _ _ <<<"$(px "$res/exit_normal.bmp" 12 5)"
ok "exit glyph is a cross, not a block: (12,5) is background ($r)" "r > 200"
read -r r _ _ <<<"$(px "$res/min_normal.bmp" 12 7)"
ok "min glyph is a bar: (12,7) is background ($r)" "r > 200"
read -r r _ _ <<<"$(px "$res/home_normal.bmp" 12 11)"
ok "home glyph is a question mark: gap above the dot at (12,11) ($r)" "r > 180"
read -r r _ _ <<<"$(px "$res/home_normal.bmp" 10 5)"
ok "home glyph has its hook at (10,5) ($r)" "r < 150"
# the same state looks the same on every button, away from the glyph
for st in normal hover pressed; do
  expect "title $st faces agree (exit/home)" "$(px "$res/exit_$st.bmp" 3 8)" "$(px "$res/home_$st.bmp" 3 8)"
  expect "title $st faces agree (exit/min)" "$(px "$res/exit_$st.bmp" 3 8)" "$(px "$res/min_$st.bmp" 3 8)"
done

# ---- phone button ----
for st in normal pressed hover; do
  f=$res/phone_$st.bmp
  for c in "0 0" "59 0" "0 39" "59 39"; do
    read -r cx cy <<<"$c"
    expect "phone_$st corner ($cx,$cy) equals skin" "$(px "$f" "$cx" "$cy")" "$(px "$skin" $((206 + cx)) $((78 + cy)))"
  done
done
read -r r g b <<<"$(px "$res/phone_normal.bmp" 8 20)"
ok "phone_normal is grey ($r $g $b)" "r > 170 && (r - b) * (r - b) <= 144 && (r - g) * (r - g) <= 144"
read -r r g b <<<"$(px "$res/phone_hover.bmp" 8 20)"
ok "phone_hover is grey ($r $g $b)" "r > 170 && (r - b) * (r - b) <= 144 && (r - g) * (r - g) <= 144"
read -r r g b <<<"$(px "$res/phone_pressed.bmp" 8 20)"
ok "phone_pressed is red ($r $g $b)" "r > 170 && r > g + 90 && r > b + 90"
# the cradle sits at the same place in every state; the handset is down only in the normal one
expect "phone cradle is where it was (normal vs hover)" \
  "$(convert "$res/phone_normal.bmp" -crop 20x6+20+24 +repage -depth 8 rgb:- | md5sum)" \
  "$(convert "$res/phone_hover.bmp" -crop 20x6+20+24 +repage -depth 8 rgb:- | md5sum)"
read -r r _ _ <<<"$(px "$res/phone_normal.bmp" 30 14)"
ok "phone_normal: the handset lies on the cradle, (30,14) is inked ($r)" "r < 120"
read -r r _ _ <<<"$(px "$res/phone_hover.bmp" 30 14)"
ok "phone_hover: the handset is lifted, (30,14) is face ($r)" "r > 180"
diff=$(compare -metric AE "$res/phone_normal.bmp" "$res/phone_hover.bmp" null: 2>&1 >/dev/null)
ok "phone_hover differs from phone_normal by the lifted handset ($diff pixels)" "${diff%%.*} > 60"
read -r r _ _ <<<"$(px "$res/phone_hover.bmp" 38 8)"
ok "phone_hover: lifted handset is up at (38,8) ($r)" "r < 130"
read -r r g b <<<"$(px "$res/phone_pressed.bmp" 38 9)"
ok "phone_pressed: lifted white handset at (38,9) ($r $g $b)" "r > 230 && g > 200"

# ---- icon: 16, 32, 48, 32-bit, transparent round the tile, teal ----
ico=$res/app.ico
if [ ! -f "$ico" ]; then
  fail "app.ico is missing"
else
  expect "app.ico images" "$(identify -format '%m %wx%h\n' "$ico" 2>/dev/null | tr '\n' ' ')" "ICO 16x16 ICO 32x32 ICO 48x48 "
  expect "app.ico reserved/type/count" "$(le16 "$ico" 0) $(le16 "$ico" 2) $(le16 "$ico" 4)" "0 1 3"
  for i in 0 1 2; do
    expect "app.ico image $i bits per pixel" "$(le16 "$ico" $((6 + 16 * i + 6)))" 32
  done
  icon_sizes=(16 32 48)
  for i in 0 1 2; do
    s=${icon_sizes[$i]}
    a=$(alpha "${ico}[$i]" 0 0)
    ok "app.ico ${s}px corner is transparent (alpha $a)" "a < 32"
    expect "app.ico ${s}px centre is opaque" "$(alpha "${ico}[$i]" $((s / 2)) $((s / 2)))" 255
    read -r r g b <<<"$(px "${ico}[$i]" $((s / 8 + 1)) $((s * 3 / 4)))"
    ok "app.ico ${s}px tile is teal ($r $g $b)" "g > r + 80 && b > r + 70"
  done
  # the handset: white pixels in the middle of the 48 px image
  white=$(convert "${ico}[2]" -alpha off -fill black +opaque white -fill white -opaque white -format '%[fx:int(mean*w*h+0.5)]' info:)
  ok "app.ico 48px shows a white handset ($white white pixels)" "white > 150 && white < 900"
fi

# ---- the bitmaps are what the sources make ----
if command -v rsvg-convert >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  if "$root/tools/art/render" "$tmp" >/dev/null; then
    for f in "$tmp"/*; do
      n=$(basename "$f")
      if cmp -s "$f" "$res/$n"; then pass; else fail "res/$n is stale: tools/art/render makes a different file from res/art/"; fi
    done
  else
    fail "tools/art/render failed"
  fi
else
  fail "rsvg-convert is missing (apt-get install librsvg2-bin): cannot check res/ against res/art/"
fi

echo "check_art: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
