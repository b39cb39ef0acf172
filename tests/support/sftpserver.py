#!/usr/bin/python3
# A small SFTP server for the tests and the demo, on Debian's asyncssh (run it with /usr/bin/python3):
#
#   sftpserver.py ROOT [--port 0] [--host-key FILE] [--key-type TYPE] [--account user:password ...]
#                 [--control FILE] [--stats FILE] [--exit-on-stdin-eof] [fault options]
#
# It listens on 127.0.0.1, logs in with passwords only (without --account: vscheck and vsfetch) and serves
# ROOT as "/". The first line on standard output is "PORT <number>". --host-key keeps (or makes) the key
# there, its public half beside it with .pub appended. It ends with the process that started it.
#
# Faults hold per SFTP session; their values come from the command line and, with --control, from that
# JSON file, read again at the start of every session:
#   hold_reads   hold read replies until this many reads wait (or the end of the file was asked for), then
#                answer in order; shows how many requests a client keeps in flight
#   short_reads  answer every read with at most this many bytes
#   drop_after   close the connection once this many bytes of file data would be served
#   stall_after  stop answering reads once this many bytes were served
#   endless      answer reads past the end of a file with blanks: the file never ends
#   cuts         drop_after holds for this many sessions only (counted anew when the control file changes)
#   change       when drop_after cuts, the file gets other bytes of the same size and a later time
#   trickle      wait this many milliseconds before each read reply
#   resets       reset this many first connections before the key exchange
# With --stats it writes after every read request {"max_outstanding", "reads", "bytes"} of the session, and
# after every connection and password tried, "connections" and "logins" since the start.

import argparse
import asyncio
import ctypes
import json
import logging
import os
import signal
import socket
import struct
import sys
import tempfile

import asyncssh
from asyncssh.sftp import FXP_READ, SFTPServerHandler

FAULTS = ('hold_reads', 'short_reads', 'drop_after', 'stall_after', 'endless', 'cuts', 'change', 'trickle', 'resets')
options = None
totals = {'connections': 0, 'logins': 0, 'cuts': 0, 'control': None}


def write_stats(values):
    if options.stats:
        # A file of its own for each write, so that no two writes share one.
        handle, temp = tempfile.mkstemp(dir=os.path.dirname(options.stats))
        with os.fdopen(handle, 'w') as out:
            json.dump(dict(values, connections=totals['connections'], logins=totals['logins']), out)
        os.replace(temp, options.stats)


def load_faults():
    faults = {key: getattr(options, key) for key in FAULTS}
    if options.control and os.path.exists(options.control):
        stamp = os.stat(options.control).st_mtime_ns
        if stamp != totals['control']:
            totals.update(control=stamp, cuts=0)
        with open(options.control, encoding='utf-8') as control:
            text = control.read().strip()
        faults.update(json.loads(text) if text else {})
        if set(faults) != set(FAULTS):
            raise ValueError('unknown fault in ' + text)
    return faults


class PasswordServer(asyncssh.SSHServer):
    def connection_made(self, conn):
        totals['connections'] += 1
        write_stats({})
        if totals['connections'] <= (load_faults()['resets'] or 0):
            conn.get_extra_info('socket').setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
            conn.abort()

    def begin_auth(self, username): return True  # noqa: E704

    def password_auth_supported(self): return True  # noqa: E704

    def validate_password(self, username, password):
        totals['logins'] += 1
        write_stats({})
        return options.accounts.get(username) == password


class TestSftpServer(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=options.root)
        self.faults = load_faults()
        self.outstanding = self.max_outstanding = self.reads = self.served = self.tickets = self.answered = 0
        self.turn, self.tasks, self.end_requested, self.closed = asyncio.Condition(), set(), False, False
        self.cut = False

    def exit(self):
        # Reads still held or stalled end here, not whenever the garbage collector finds them: a task
        # destroyed later would run its clean-up in the middle of another session's work.
        self.closed = True
        for task in list(self.tasks):
            task.cancel()
        super().exit()

    def count_read(self, change):
        self.outstanding += change
        self.reads += max(change, 0)
        self.max_outstanding = max(self.max_outstanding, self.outstanding)
        if not self.closed:
            write_stats({'max_outstanding': self.max_outstanding, 'reads': self.reads, 'bytes': self.served})

    async def hold(self, reaches_end):
        # Answers in the order the reads came, each once enough wait (or the end of the file was asked for);
        # after a while without enough, all go.
        ticket, self.tickets = self.tickets, self.tickets + 1
        self.end_requested |= reaches_end

        def my_turn():
            limit = self.faults['hold_reads']
            return ticket == self.answered and (not limit or self.end_requested or self.tickets - self.answered >= limit)

        async with self.turn:
            self.turn.notify_all()
            while not my_turn():
                try:
                    await asyncio.wait_for(self.turn.wait(), 2)
                except asyncio.TimeoutError:
                    self.faults['hold_reads'] = 0
                    self.turn.notify_all()
            self.answered += 1
            self.turn.notify_all()

    async def read(self, file_obj, offset, size):
        if self.faults['hold_reads']:
            await self.hold(offset + size >= os.fstat(file_obj.fileno()).st_size)
        if self.faults['trickle']:
            await asyncio.sleep(self.faults['trickle'] / 1000)
        never = asyncio.get_running_loop().create_future
        if self.faults['stall_after'] is not None and self.served >= self.faults['stall_after']:
            await never()
        file_obj.seek(offset)
        data = file_obj.read(size)
        if self.faults['endless']:
            data += b' ' * (size - len(data))
        data = data[:self.faults['short_reads'] or None]
        if self.faults['drop_after'] is not None and self.served + len(data) >= self.faults['drop_after'] \
                and not self.cut and totals['cuts'] < (self.faults['cuts'] or float('inf')):
            self.cut, totals['cuts'] = True, totals['cuts'] + 1
            if self.faults['change']:
                with open(file_obj.name, 'r+b') as changed:
                    changed.write(b'changed')
                facts = os.stat(file_obj.name)
                os.utime(file_obj.name, ns=(facts.st_atime_ns, facts.st_mtime_ns + 100 * 10**9))
        if self.cut:
            self.connection.abort()
            await never()
        self.served += len(data)
        return data


_process_packet = SFTPServerHandler._process_packet


async def process_packet(handler, pkttype, pktid, packet):
    # asyncssh answers one request after the other; each read gets a task of its own, so that a test
    # sees how many a client keeps in flight.
    server = handler._server
    if pkttype != FXP_READ or not isinstance(server, TestSftpServer):
        return await _process_packet(handler, pkttype, pktid, packet)

    async def answer():
        try:
            await _process_packet(handler, pkttype, pktid, packet)
        except asyncssh.sftp.SFTPNoConnection:
            pass  # the client went away, or a fault dropped it
        finally:
            server.count_read(-1)

    server.count_read(1)
    task = asyncio.ensure_future(answer())  # asyncio keeps only weak references to tasks
    server.tasks.add(task)
    task.add_done_callback(server.tasks.discard)


SFTPServerHandler._process_packet = process_packet


def load_host_key(path, key_type):
    known = path and os.path.exists(path)
    key = asyncssh.read_private_key(path) if known else asyncssh.generate_private_key(key_type)
    if path:
        known or key.write_private_key(path)
        key.write_public_key(path + '.pub')
    return key


async def main():
    # reuse_address: a fixed port must be usable again at once, while the last run's connections linger.
    server = await asyncssh.create_server(
        PasswordServer, '127.0.0.1', options.port, reuse_address=True, allow_scp=False,
        server_host_keys=[load_host_key(options.host_key, options.key_type)], sftp_factory=TestSftpServer)
    print('PORT %d' % server.sockets[0].getsockname()[1], flush=True)
    if options.exit_on_stdin_eof:
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.buffer.read)
        os._exit(0)
    await asyncio.get_running_loop().create_future()


if __name__ == '__main__':
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: end with the parent
    parser = argparse.ArgumentParser(description='SFTP server for tests and demos')
    parser.add_argument('root', help='folder served as "/"')
    parser.add_argument('--key-type', default='ssh-ed25519')
    parser.add_argument('--account', action='append', default=[], metavar='USER:PASSWORD')
    for name, kind, default in (('--port', int, 0), ('--host-key', str, None), ('--control', str, None),
                                ('--stats', str, None), ('--hold-reads', int, 0), ('--short-reads', int, 0),
                                ('--drop-after', int, None), ('--stall-after', int, None), ('--cuts', int, 0),
                                ('--trickle', int, 0), ('--resets', int, 0)):
        parser.add_argument(name, type=kind, default=default)
    for name in ('--endless', '--change', '--exit-on-stdin-eof', '--verbose'):
        parser.add_argument(name, action='store_true')
    options = parser.parse_args()
    options.root = os.path.realpath(options.root)
    if not os.path.isdir(options.root):
        sys.exit('not a folder: ' + options.root)
    options.accounts = dict(a.partition(':')[::2] for a in options.account) or \
        {'vscheck': 'vscheck-pass', 'vsfetch': 'vsfetch-pass'}
    logging.basicConfig(level=logging.DEBUG if options.verbose else logging.ERROR)
    asyncssh.set_debug_level(2 if options.verbose else 1)
    asyncio.run(main())
