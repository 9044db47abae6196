# Copies the text file IN to OUT with CRLF line ends, for the Windows zip
# (cmake -DIN=... -DOUT=... -P crlf.cmake).
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
