# A program on a pseudo-terminal, its controlling terminal, standard error and output (unless `stdout` says otherwise).
# Standard input is /dev/null unless input_from_terminal (wine takes its console input from standard input).
import array, fcntl, os, subprocess, termios, time, tty

import pexpect.fdpexpect


class Terminal:
    def __init__(self, argv, cwd, env=None, input_from_terminal=False, stdout=None, local_modes=0):
        self.master, self.slave = os.openpty()
        if local_modes:
            mode = termios.tcgetattr(self.slave)
            mode[3] |= local_modes
            termios.tcsetattr(self.slave, termios.TCSANOW, mode)
        self.before = termios.tcgetattr(self.slave)
        self.process = subprocess.Popen(
            [str(a) for a in argv], cwd=cwd, env=env, stdout=stdout or self.slave, stderr=self.slave,
            stdin=self.slave if input_from_terminal else subprocess.DEVNULL,
            preexec_fn=lambda: (os.setsid(), fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)))
        self.screen = pexpect.fdpexpect.fdspawn(self.master, timeout=15)
        self.shown = b""

    def __enter__(self): return self

    def __exit__(self, *exception):
        self.process.kill()  # if it still runs
        self.process.wait()
        os.close(self.master)
        os.close(self.slave)

    def expect(self, text):  # everything shown up to `text`
        self.screen.expect_exact(text)
        self.shown += self.screen.before + self.screen.after
        return self.shown

    def rest(self):  # what is shown from here until output pauses
        self.screen.expect([pexpect.TIMEOUT, pexpect.EOF], timeout=0.3)
        self.shown += self.screen.before
        return self.screen.before

    def waits_for_key(self):  # out of line mode within 5 s: the program waits for a key
        for _ in range(500):
            if not termios.tcgetattr(self.slave)[3] & termios.ICANON:
                return True
            time.sleep(0.01)

    def unread_input(self):  # bytes typed at the terminal that nobody has read
        tty.setraw(self.slave, termios.TCSANOW)  # the default, TCSAFLUSH, would drop them
        count = array.array("i", [0])
        fcntl.ioctl(self.slave, termios.FIONREAD, count)
        termios.tcsetattr(self.slave, termios.TCSANOW, self.before)
        return count[0]
