#!/usr/bin/python3
"""A small SFTP server for the tests and the demo, on top of Debian's asyncssh.

Run it with /usr/bin/python3 (the Debian interpreter that has asyncssh):

    sftpserver.py ROOT [--port 0] [--host-key FILE] [--account user:password ...]
                  [--control FILE] [--stats FILE] [--exit-on-stdin-eof]

It listens on 127.0.0.1, logs in with passwords only and serves ROOT as "/"
(no path leaves it). The first line on standard output is "PORT <number>",
the port it listens on (useful with --port 0).

Faults are injected per SFTP session. Their values come from the command line
and, when --control names a file, from that JSON file, read again at the start
of every session, so a test can change them without restarting the server:

    hold_reads   hold read replies back until this many reads are waiting (or
                 the request that reaches the end of the file has come), then
                 answer the oldest; shows how many requests a client keeps in
                 flight
    short_reads  answer every read with at most this many bytes
    drop_after   close the connection once this many bytes of file data would
                 be served
    stall_after  stop answering reads once this many bytes were served
    endless      answer reads past the end of a file with blanks, so the file
                 never ends while its stated size stays the true one

With --stats the server writes, after every read request, a JSON object with
"max_outstanding" (read requests received and not yet answered, at most, in the
current session), "reads" and "bytes" of that session.
"""

import argparse
import asyncio
import json
import logging
import os
import sys

import asyncssh
from asyncssh.sftp import FXP_READ, SFTPServerHandler

DEFAULT_ACCOUNTS = {'vscheck': 'vscheck-pass', 'vsfetch': 'vsfetch-pass'}
FAULT_KEYS = ('hold_reads', 'short_reads', 'drop_after', 'stall_after', 'endless')
# A client that never keeps enough reads in flight still gets its answers.
HOLD_FALLBACK_SECONDS = 2.0

options = None
accounts = {}


def load_faults():
    faults = {key: getattr(options, key) for key in FAULT_KEYS}
    if options.control and os.path.exists(options.control):
        with open(options.control, encoding='utf-8') as control:
            text = control.read().strip()
        if text:
            for key, value in json.loads(text).items():
                if key not in FAULT_KEYS:
                    raise ValueError('unknown fault: ' + key)
                faults[key] = value
    return faults


def write_atomically(path, text):
    temp = path + '.tmp'
    with open(temp, 'w', encoding='utf-8') as out:
        out.write(text)
    os.replace(temp, path)


class PasswordServer(asyncssh.SSHServer):
    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        return username in accounts and accounts[username] == password


class TestSftpServer(asyncssh.SFTPServer):
    def __init__(self, chan):
        super().__init__(chan, chroot=options.root)
        self.faults = load_faults()
        self.outstanding = 0
        self.max_outstanding = 0
        self.reads = 0
        self.served = 0
        self.tickets = 0
        self.answered = 0
        self.turn = asyncio.Condition()
        self.end_requested = False
        self.tasks = set()

    # Called by the patched packet handler, so reads run concurrently.
    def read_received(self):
        self.outstanding += 1
        self.reads += 1
        self.max_outstanding = max(self.max_outstanding, self.outstanding)
        self.write_stats()

    def read_answered(self):
        self.outstanding -= 1
        self.write_stats()

    def write_stats(self):
        if options.stats:
            write_atomically(options.stats, json.dumps({
                'max_outstanding': self.max_outstanding,
                'reads': self.reads,
                'bytes': self.served}))

    def open(self, path, pflags, attrs):
        if pflags & (asyncssh.FXF_WRITE | asyncssh.FXF_APPEND | asyncssh.FXF_CREAT | asyncssh.FXF_TRUNC):
            raise asyncssh.SFTPPermissionDenied('This server is read-only')
        return super().open(path, pflags, attrs)

    async def hold(self, file_obj, offset, size):
        """Answers in the order the reads came, each once enough are waiting."""
        ticket = self.tickets
        self.tickets += 1
        if offset + size >= os.fstat(file_obj.fileno()).st_size:
            self.end_requested = True

        def my_turn():
            limit = self.faults['hold_reads']
            waiting = self.tickets - self.answered
            return ticket == self.answered and (not limit or self.end_requested or waiting >= limit)

        async with self.turn:
            self.turn.notify_all()
            while not my_turn():
                try:
                    await asyncio.wait_for(self.turn.wait(), HOLD_FALLBACK_SECONDS)
                except asyncio.TimeoutError:
                    self.faults['hold_reads'] = 0
                    self.turn.notify_all()
            self.answered += 1
            self.turn.notify_all()

    async def read(self, file_obj, offset, size):
        if self.faults['hold_reads']:
            await self.hold(file_obj, offset, size)
        stall_after = self.faults['stall_after']
        if stall_after is not None and self.served >= stall_after:
            await asyncio.get_running_loop().create_future()
        file_obj.seek(offset)
        data = file_obj.read(size)
        if self.faults['endless']:
            data += b' ' * (size - len(data))
        short = self.faults['short_reads']
        if short:
            data = data[:short]
        drop_after = self.faults['drop_after']
        if drop_after is not None and self.served + len(data) >= drop_after:
            self.connection.abort()
            await asyncio.get_running_loop().create_future()
        self.served += len(data)
        return data


_process_packet = SFTPServerHandler._process_packet


async def process_packet(handler, pkttype, pktid, packet):
    """Handles a read in a task of its own.

    asyncssh answers one request after the other; reads taken one at a time
    could never show how many a client has in flight.
    """
    server = handler._server
    if pkttype != FXP_READ or not isinstance(server, TestSftpServer):
        await _process_packet(handler, pkttype, pktid, packet)
        return

    async def answer():
        try:
            await _process_packet(handler, pkttype, pktid, packet)
        except asyncssh.sftp.SFTPNoConnection:
            pass  # the client went away (or a fault dropped it)
        finally:
            server.read_answered()

    server.read_received()
    # asyncio keeps only weak references to tasks.
    task = asyncio.ensure_future(answer())
    server.tasks.add(task)
    task.add_done_callback(server.tasks.discard)


SFTPServerHandler._process_packet = process_packet


def load_host_key(path, key_type):
    """Loads the key at path, or makes one (kept at path, public half at path.pub)."""
    if path and os.path.exists(path):
        key = asyncssh.read_private_key(path)
    else:
        key = asyncssh.generate_private_key(key_type)
        if path:
            key.write_private_key(path)
    if path:
        key.write_public_key(path + '.pub')
    return key


async def watch_stdin():
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.buffer.read)
    os._exit(0)


async def main():
    key = load_host_key(options.host_key, options.key_type)
    # A fixed port (the demo, the updater's tests) must be usable again at
    # once, while closed connections of the last run are still in TIME_WAIT;
    # asyncssh does not ask for that by default.
    server = await asyncssh.create_server(
        PasswordServer, '127.0.0.1', options.port, reuse_address=True,
        server_host_keys=[key], sftp_factory=TestSftpServer, allow_scp=False)
    port = server.sockets[0].getsockname()[1]
    print('PORT %d' % port, flush=True)
    if options.exit_on_stdin_eof:
        asyncio.ensure_future(watch_stdin())
    await asyncio.get_running_loop().create_future()


def parse_arguments():
    parser = argparse.ArgumentParser(description='SFTP server for tests and demos')
    parser.add_argument('root', help='folder served as "/"')
    parser.add_argument('--port', type=int, default=0, help='0 picks a free port')
    parser.add_argument('--host-key', help='private key file; made (and kept) when missing; '
                        'its public half is written beside it with .pub appended')
    parser.add_argument('--key-type', default='ssh-ed25519',
                        help='type of a newly made host key, e.g. ecdsa-sha2-nistp256')
    parser.add_argument('--account', action='append', default=[], metavar='USER:PASSWORD',
                        help='an account; without any, vscheck and vsfetch')
    parser.add_argument('--control', help='JSON file with the faults of the next sessions')
    parser.add_argument('--stats', help='file that receives the read statistics')
    parser.add_argument('--hold-reads', type=int, default=0)
    parser.add_argument('--short-reads', type=int, default=0)
    parser.add_argument('--drop-after', type=int, default=None)
    parser.add_argument('--stall-after', type=int, default=None)
    parser.add_argument('--endless', action='store_true')
    parser.add_argument('--exit-on-stdin-eof', action='store_true',
                        help='end when standard input closes (the test that started it died)')
    parser.add_argument('--verbose', action='store_true')
    return parser.parse_args()


if __name__ == '__main__':
    options = parse_arguments()
    options.root = os.path.realpath(options.root)
    if not os.path.isdir(options.root):
        sys.exit('not a folder: ' + options.root)
    for account in options.account:
        user, _, password = account.partition(':')
        accounts[user] = password
    if not accounts:
        accounts.update(DEFAULT_ACCOUNTS)
    logging.basicConfig(level=logging.DEBUG if options.verbose else logging.ERROR)
    if options.verbose:
        asyncssh.set_debug_level(2)
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
