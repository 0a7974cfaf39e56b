# cmake -DVCP=path/to/vcp -DHELP2MAN=path/to/help2man -DOUT=vcp.1 -P VcpManPage.cmake
#
# vcp(1) from the program's own help: help2man reads `vcp --help` and
# `vcp --version`; each subcommand's --help becomes a subsection of
# COMMANDS, kept as the program prints it.

function(roff_verbatim text out)
  # Backslashes; hyphens as the minus signs a command line types; a leading
  # '.' or "'" that roff would read as a request.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(include "[COMMANDS]\n")
foreach(command demo pty serve info bench)
  execute_process(COMMAND ${VCP} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vcp ${command} --help failed (${status})")
  endif()
  roff_verbatim("${help}" help)
  string(APPEND include ".SS \"vcp ${command}\"\n.nf\n${help}.fi\n")
endforeach()

string(APPEND include [=[
[EXAMPLES]
.TP
.B vcp demo \-\-capture demo.pcapng && tshark \-r demo.pcapng
A whole session on the simulated bus, dissected: the descriptor requests,
SET_CONFIGURATION, the vendor requests with the converter's command bytes,
every bulk transfer and the line-status reads.
.TP
.B vcp pty \-\-link /tmp/ttyVCP \-\-capture \- | wireshark \-k \-i \-
Watch a live session in Wireshark while a terminal program uses /tmp/ttyVCP.
.TP
.B vcp serve \-\-rfc2217 2217 \-\-debug\-level 0x7f \-\-debug\-log norva.log
The drivers' traces in a file, each line with its time, bus frame,
processor and IRQL.
[FILES]
.TP
.I lib/vcp/
beside vcp's bin: the host kernel (libntos.so) and the driver modules
(norva.so, tembris.so) that vcp loads.
.TP
.I share/vcp/win98/
norva.sys, tembris.sys and usbcvt.inf: a Windows 98 driver disk.
.TP
.I share/vcp/scripts/
the measurements `vcp bench` runs besides its own.
[SEE ALSO]
.BR tshark (1),
.BR wireshark (1),
.BR socat (1),
.BR picocom (1)
]=])

file(WRITE ${OUT}.h2m "${include}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 --source=vcp
          "--name=USB-to-RS232C converter drivers in a simulated Windows 98 kernel"
          --include=${OUT}.h2m --output=${OUT} ${VCP}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed (${status})")
endif()
