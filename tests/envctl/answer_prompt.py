"""Runs a command on a pseudo-terminal and answers its prompts as a person would.

Usage: answer_prompt.py TRANSCRIPT ANSWER COMMAND [ARGS...]
Each time the program prints "[y/N]", ANSWER and a line end are typed. The
whole screen output goes to TRANSCRIPT; the exit status is the program's.
"""
import os
import pty
import sys


def main():
    transcript, answer = sys.argv[1], sys.argv[2].encode() + b"\n"
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(sys.argv[3], sys.argv[3:])
    seen = b""
    answered = 0
    with open(transcript, "wb") as out:
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out.write(chunk)
            seen += chunk
            while seen.count(b"[y/N]") > answered:
                os.write(fd, answer)
                answered += 1
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()
