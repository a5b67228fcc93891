#!/usr/bin/env bash
# Regenerates the seed corpora under fuzz/corpus/ (small files; run by hand, the result is committed).
# Usage: fuzz/make_corpus.sh <build folder with ZR_FUZZ=ON>   (needs python3, zip)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
corpus="$here/corpus"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
rm -rf "$corpus"
mkdir -p "$corpus"/{zip_stream,zip_archive,ftp_list,settings,utf,db2_restore} "$work/zips"

# Archives: Python's zipfile with and without Zip64, Info-ZIP zip (plain, -fz, streamed), our writer.
python3 - "$work/zips" <<'PY'
import sys, zipfile
out = sys.argv[1]
rows = "".join("row %d | value %d\n" % (i, i * 7) for i in range(200)).encode()
with zipfile.ZipFile(out + "/py-deflate.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("a.txt", b"hello, zip\n")
    z.writestr("dir/rows.txt", rows)
    z.writestr("dir/", b"")
with zipfile.ZipFile(out + "/py-stored.zip", "w", zipfile.ZIP_STORED) as z:
    z.writestr("stored.bin", bytes(range(256)))
with zipfile.ZipFile(out + "/py-zip64.zip", "w", zipfile.ZIP_DEFLATED, allowZip64=True) as z:
    with z.open("big.txt", "w", force_zip64=True) as f:
        f.write(rows)
    z.writestr("\u00e9t\u00e9.txt", b"summer")
PY
(cd "$work" && printf 'hello, zip\n' > a.txt && seq 1 300 > rows.txt &&
  zip -q zips/infozip.zip a.txt rows.txt &&
  zip -q -fz zips/infozip-fz.zip a.txt rows.txt &&
  seq 1 500 | zip -q - - > zips/infozip-streamed.zip)
"$build/fuzz/fuzz_make_seeds" "$work/zips"

for f in "$work"/zips/*.zip; do
  name="$(basename "$f" .zip)"
  cp "$f" "$corpus/zip_archive/$name.zip"
  # Stream seeds: a count of piece sizes, the sizes, then the archive.
  { printf '\000'; cat "$f"; } > "$corpus/zip_stream/$name-whole"
  { printf '\003\005\200\377'; cat "$f"; } > "$corpus/zip_stream/$name-pieces"
done
cp "$work/zips/ours-db2.zip" "$corpus/db2_restore/ours-db2.zip"
python3 - "$work/FUZZ.0.DB2INST1.DBPART000.20260101000000.001" <<'PY'
import sys
rows = b"".join(b"row %04d | customer %04d | active\n" % (i, i % 50) for i in range(60))
with open(sys.argv[1], "wb") as f:
    f.write(b"ZRDB2IMG1\nalias FUZZ\nfile %d rows\n" % len(rows) + rows + b"file 3 t1\nabcend\n")
PY
(cd "$work" && zip -q -fz "$corpus/db2_restore/infozip-db2.zip" FUZZ.0.DB2INST1.DBPART000.20260101000000.001)

# FTP listings: the first byte says after how many items the copies are taken.
printf '\002drwxr-xr-x   2 user  group     4096 Jan 10 12:34 docs\r\n-rw-r--r-- 1 user group 123456 Jan 10 2005 report final.txt\r\n-rw-r--r-- 1 1000 2048 Mar 3 2010 data.bin\r\nlrwxrwxrwx 1 u g 1 Jan 10 12:34 x -> y\r\n' > "$corpus/ftp_list/unix"
printf '\001-rwsr-sr-x 1 root wheel 5 Feb 28 23:59 su\n-rw-r--r-- 1 john.doe web-dev 10 Jan 10 2005 index.html\n-rw-r--r-- 1 u g 3000000000 Jan 10 12:34 big\ntotal 12\n' > "$corpus/ftp_list/unix-forms"
printf '\00101-10-12  03:04PM       <DIR>          Reports\r\n01-10-12  03:04PM                 1234 notes.txt\r\n12-31-99  11:59am                    7 old file.txt\r\n' > "$corpus/ftp_list/msdos"

# Settings files.
cat > "$corpus/settings/saved" <<'XML'
<?xml version="1.0"?>
<link>
	<header>
		<related_object>Workstation</related_object>
		<version>7.3.4.12277</version>
	</header>
	<parameters>
		<param name="Name">ws-01</param>
		<param name="CoordinatorHost">coordinator.example</param>
		<param name="CoordinatorPort">1755</param>
		<param name="DebugLevel">1</param>
		<param name="IsSecure">no</param>
		<param name="TempFolder">/var/tmp/</param>
		<param name="EnableCoordinatorAutoSearch">once</param>
		<param name="DisableAuthorization">yes</param>
		<param name="UseDeltaCopying">debug</param>
	</parameters>
</link>
XML
printf '\357\273\277<?xml version="1.0"?>\n<link><header><related_object>Workstation</related_object></header><parameters><param name="Name">\303\251t\303\251 &amp; &lt;x&gt;</param><param name="IsSecure">true</param></parameters></link>\n' > "$corpus/settings/old-version"
printf '<link><parameters><param name="CoordinatorHost">h</param></parameters></link>' > "$corpus/settings/no-name"
python3 -c 'import sys; sys.stdout.buffer.write("<?xml version=\"1.0\" encoding=\"utf-16\"?><link><parameters><param name=\"Name\">wide</param></parameters></link>".encode("utf-16"))' > "$corpus/settings/utf16"

# UTF: the first byte sizes a deliberately small target.
printf '\003plain ascii' > "$corpus/utf/ascii"
printf '\002\303\251t\303\251 \342\202\254 \360\237\230\200 end' > "$corpus/utf/multibyte"
printf '\001ok \300\200 \355\240\200 \364\220\200\200 \370\210\200\200\200 \342\202' > "$corpus/utf/illegal"
printf '\000a,b\\\\c\n\000d' > "$corpus/utf/separators"
ls -R "$corpus" | wc -l
