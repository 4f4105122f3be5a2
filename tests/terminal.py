"""A program on a pseudo-terminal that is its controlling terminal and its standard output, read through
pexpect. Standard input is /dev/null, so only a key wait that reads the terminal itself sees the keys,
unless input_from_terminal (wine takes its console input from standard input)."""
import array
import fcntl
import os
import subprocess
import termios
import time
import tty

import pexpect.fdpexpect


class Terminal:
    def __init__(self, argv, cwd, env=None, input_from_terminal=False):
        self.master, self.slave = os.openpty()
        self.before = termios.tcgetattr(self.slave)

        def take_terminal():
            os.setsid()
            fcntl.ioctl(1, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen([str(a) for a in argv], cwd=cwd, env=env, stdout=self.slave,
                                        stdin=self.slave if input_from_terminal else subprocess.DEVNULL,
                                        preexec_fn=take_terminal)
        self.screen = pexpect.fdpexpect.fdspawn(self.master, timeout=15)
        self.shown = b""

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)

    def expect(self, text):
        """Waits until the program has shown `text`; returns everything shown so far."""
        self.screen.expect_exact(text)
        self.shown += self.screen.before + self.screen.after
        return self.shown

    def rest(self):
        """What the program shows from here until it pauses."""
        try:
            self.screen.expect(pexpect.TIMEOUT, timeout=0.3)
        except pexpect.EOF:
            pass
        self.shown += self.screen.before or b""
        return self.screen.before or b""

    def waits_for_key(self):
        """True once the terminal is out of line mode, that is, the program waits for a key."""
        for _ in range(500):
            if not termios.tcgetattr(self.slave)[3] & termios.ICANON:
                return True
            time.sleep(0.01)
        return False

    def press(self, keys):
        os.write(self.master, keys)

    def finish(self):
        """Exit status, or minus the signal that ended the program."""
        return self.process.wait(timeout=20)

    def modes_restored(self):
        return termios.tcgetattr(self.slave) == self.before

    def unread_input(self):
        """Bytes typed at the terminal that nobody has read."""
        tty.setraw(self.slave)
        count = array.array("i", [0])
        fcntl.ioctl(self.slave, termios.FIONREAD, count)
        termios.tcsetattr(self.slave, termios.TCSANOW, self.before)
        return count[0]
