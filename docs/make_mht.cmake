# SPDX-License-Identifier: GPL-3.0-or-later
# Wraps the manual's HTML and its picture into one MHTML document
# (multipart/related), the form the program opens as vistrel.mht. Both parts
# travel as 8bit text, so their lines must stay under 998 bytes (the tests
# check the built file).
# Usage: cmake -DHTML=manual.html -DIMAGE=vistrel.svg -DOUTPUT=vistrel.mht -P make_mht.cmake
foreach(var HTML IMAGE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_mht.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${HTML}" html)
file(READ "${IMAGE}" image)
set(boundary "----=_Part_Vistrel_Manual_0001")
foreach(part html image)
  string(FIND "${${part}}" "${boundary}" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "make_mht.cmake: the boundary appears inside ${part}")
  endif()
endforeach()
string(REGEX REPLACE "\r\n" "\n" html "${html}")
string(REGEX REPLACE "\r\n" "\n" image "${image}")

set(doc "From: <Saved by Vistrel>
Subject: Vistrel Manual
MIME-Version: 1.0
Content-Type: multipart/related;
\ttype=\"text/html\";
\tboundary=\"${boundary}\"

This is a multi-part message in MIME format.

--${boundary}
Content-Type: text/html; charset=\"utf-8\"
Content-Transfer-Encoding: 8bit
Content-Location: file:///vistrel/manual.html

${html}
--${boundary}
Content-Type: image/svg+xml
Content-Transfer-Encoding: 8bit
Content-Location: file:///vistrel/vistrel.svg

${image}
--${boundary}--
")
# MIME lines end in CR LF.
string(REPLACE "\n" "\r\n" doc "${doc}")
file(WRITE "${OUTPUT}.tmp" "${doc}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
