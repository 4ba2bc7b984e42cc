#!/usr/bin/env python3
"""The remote control's page in a real browser against the real program:
QuelmarRecorder --headless on the simulated receiver, with a scratch state
folder, settings and recordings folder, serving on a free port of
127.0.0.1; headless Chromium driven by Selenium. A wrong token is refused,
the token --show-token prints logs in; Record on the page starts a
recording whose live log and byte counts move, Stop ends it, and its files
appear in the list and decode; a timer added in the table lands in the
program's timer.db. Screenshots at desktop and phone width go into the
artefacts folder.

    browser_test.py --program PATH --artefacts DIR
"""
import argparse
import ctypes
import datetime
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

WAIT_S = 60  # generous bound for anything the page or the program must show
STOP_WAIT_S = 60  # for the program to end after SIGTERM
DESKTOP = (1280, 1100)
PHONE = (390, 844)
LISTENING = 'remote control listening on http://127.0.0.1:'
PR_SET_PDEATHSIG = 1
TIMER_STORE_SCHEMA = 0x80000113
MONDAY_FRIDAY = 0x22  # weekday w (0 = Sunday) is bit 6 - w
SECONDS_PER_DAY = 86400


class Recorder:
    """The program serving on a free port of 127.0.0.1 in `scratch`, its
    standard output read as it comes (a full pipe would stall it)."""

    def __init__(self, program, scratch, recordings):
        self.program = program
        self.scratch = scratch
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(('QUELMAR_', 'XDG_'))}
        for name, folder in (('HOME', 'home'), ('XDG_CONFIG_HOME', 'config'), ('XDG_DATA_HOME', 'data'),
                             ('XDG_RUNTIME_DIR', 'runtime')):
            self.env[name] = os.path.join(scratch, folder)
            os.makedirs(self.env[name], mode=0o700, exist_ok=True)
        # The simulated receiver starts from its configuration.
        self.env['QUELMAR_VIRTUAL_STATE_DIR'] = 'off'
        settings = os.path.join(scratch, 'config', 'Pellix Soft')
        os.makedirs(settings)
        with open(os.path.join(settings, 'QuelmarRecorder.conf'), 'w', encoding='ascii') as f:
            f.write('[Settings]\nPriority=32\n')  # normal priority, not real time
        self.state = os.path.join(scratch, 'data', 'QuelmarRecorder')
        self.lines = []
        self.listening = threading.Event()
        self.stderr = open(os.path.join(scratch, 'stderr.txt'), 'w+', encoding='utf-8', errors='replace')
        self.process = subprocess.Popen(
            [program, '--headless', '--virtual-receiver', '--listen', '127.0.0.1:0', '--recordings-dir', recordings],
            cwd=scratch, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr,
            text=True, errors='replace', preexec_fn=Recorder._end_with_parent)
        self.port = self.token = None
        threading.Thread(target=self._read, daemon=True).start()

    def wait_ready(self):
        """Waits for the port; reads the token. Raises when either fails."""
        if not self.listening.wait(WAIT_S) or self.port is None:
            raise RuntimeError('the program did not listen')
        self.token = self.show_token()
        if not self.token:
            raise RuntimeError('--show-token printed no token')

    @staticmethod
    def _end_with_parent():
        # Stopped also when this script is killed.
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM))

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)
            if self.port is None and LISTENING in line:
                self.port = int(line.split(LISTENING, 1)[1].split('/')[0].strip())
                self.listening.set()
        self.listening.set()  # it ended: wait_ready() need not wait on

    def output(self):
        self.stderr.seek(0)
        return ''.join(self.lines) + self.stderr.read()

    def show_token(self):
        shown = subprocess.run([self.program, '--show-token'], cwd=self.scratch, env=self.env, capture_output=True,
                               text=True, timeout=WAIT_S)
        if shown.returncode != 0:
            raise RuntimeError(f'--show-token failed: {shown.stderr}')
        return shown.stdout.split('\n')[0]

    def stop(self):
        """SIGTERM, then waits; returns the exit status (killed after STOP_WAIT_S: None)."""
        if self.process.poll() is None:
            self.process.terminate()
        try:
            return self.process.wait(timeout=STOP_WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None


def start_browser(profile):
    options = webdriver.ChromeOptions()
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', f'--user-data-dir={profile}',
                 f'--window-size={DESKTOP[0]},{DESKTOP[1]}'):
        options.add_argument(flag)
    binary = shutil.which('chromium')
    if binary:
        options.binary_location = binary
    return webdriver.Chrome(service=Service(shutil.which('chromedriver') or '/usr/bin/chromedriver'),
                            options=options)


def api(port, token, path):
    request = urllib.request.Request(f'http://127.0.0.1:{port}/api/v1/{path}',
                                     headers={'Authorization': f'Bearer {token}'})
    with urllib.request.urlopen(request, timeout=WAIT_S) as answer:
        return json.loads(answer.read())


def read_timer_store(path):
    """The entries of timer.db as dicts (the store's byte layout)."""
    with open(path, 'rb') as f:
        data = f.read()
    pos = 0

    def take(form):
        nonlocal pos
        values = struct.unpack_from('<' + form, data, pos)
        pos += struct.calcsize('<' + form)
        return values[0]

    def text():
        length = take('B')
        if length == 0xFF:
            length = take('H')
            if length == 0xFFFF:
                length = take('I')
        nonlocal pos
        pos += length
        return data[pos - length:pos].decode('cp1252')

    assert take('I') == 0 and take('I') == TIMER_STORE_SCHEMA, data[:8]
    entries = []
    for _ in range(take('i')):
        entry = {'channel': take('H')}
        text(), text()  # reserved
        entry['start'], entry['stop'] = take('i'), take('i')
        entry['file'] = text()
        entry['shutdown'], entry['active'], entry['days'] = take('B'), take('B'), take('B')
        entries.append(entry)
    assert pos == len(data), f'{len(data) - pos} bytes after the entries'
    return entries


def ffprobe_codecs(path):
    """ffprobe's codec names of the audio and video streams, e.g. "mpeg2video,ac3"."""
    listing = subprocess.run(['ffprobe', '-v', 'error', '-show_entries', 'stream=codec_type,codec_name', '-of',
                              'csv=p=0', path], capture_output=True, text=True, timeout=WAIT_S).stdout
    fields = [line.split(',') for line in listing.splitlines()]
    return ','.join(f[0] for f in fields if len(f) > 1 and f[1] in ('audio', 'video'))


def decode_errors(path):
    return subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', '-i', path, '-f', 'null', '-'],
                          capture_output=True, text=True, timeout=WAIT_S).stderr


class Page:
    def __init__(self, driver):
        self.driver = driver

    def el(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def text(self, element_id):
        return self.el(element_id).text

    def wait(self, what, condition):
        try:
            return WebDriverWait(self.driver, WAIT_S, poll_frequency=0.1).until(lambda _: condition())
        except Exception:
            raise AssertionError(f'page never showed: {what}')

    def set_value(self, element_id, value):
        # Date and time inputs take typed keys by the browser's locale;
        # the value is set as the page's own code would read it.
        self.driver.execute_script(
            'arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event("change"));',
            self.el(element_id), value)

    def log_lines(self):
        return self.driver.execute_script('return document.getElementById("log").children.length')

    def number(self, element_id):
        return int(self.text(element_id).replace(' ', '') or 0)


def check_wrong_token(page, port, token):
    page.driver.get(f'http://127.0.0.1:{port}/')
    page.wait('the login form', lambda: page.el('login').is_displayed())
    # Wrong in its last character only.
    page.el('token').send_keys(token[:-1] + ('1' if token[-1] == '0' else '0'))
    page.el('login-button').click()
    page.wait('the wrong token refused', lambda: 'wrong token' in page.text('login-error'))
    assert not page.el('app').is_displayed(), 'the page opened with a wrong token'
    assert not page.driver.get_cookies(), 'a cookie was set for a wrong token'


def log_in(page, token):
    page.el('token').clear()
    page.el('token').send_keys(token)
    page.el('login-button').click()
    page.wait('the page after the login', lambda: page.el('app').is_displayed())
    cookies = {c['name']: c for c in page.driver.get_cookies()}
    cookie = cookies.get('quelmar_token')
    assert cookie and cookie['httpOnly'] and cookie.get('sameSite') == 'Strict', f'cookie: {cookie}'
    assert page.driver.execute_script('return document.cookie') == '', 'the token is visible to scripts'
    page.wait('the channel list', lambda: len(page.driver.find_elements(By.CSS_SELECTOR, '#channels li')) == 4)
    page.wait('the receiver', lambda: page.text('receiver').startswith('host adapter'))
    page.wait('the live connection', lambda: 'on' in page.el('live').get_attribute('class'))


def record_and_stop(page, artefacts, recordings):
    Select(page.el('record-channel')).select_by_visible_text('Testbild Zwei AC3')
    Select(page.el('video')).select_by_visible_text("don't save")
    Select(page.el('audio')).select_by_visible_text("don't save")
    Select(page.el('mux')).select_by_visible_text('as ~DVD')
    page.el('file').send_keys('browser recording')
    lines_before = page.log_lines()
    page.el('record').click()
    page.wait('the recording state', lambda: page.text('state') == 'recording')
    first = page.number('bytes-mux')
    page.wait('the multiplex byte count moving', lambda: page.number('bytes-mux') > first)
    page.wait('live log lines', lambda: page.log_lines() >= lines_before + 2)
    seen = page.number('bytes-mux')
    page.wait('the byte count moving on', lambda: page.number('bytes-mux') > seen)
    assert page.text('channel') == '2 Testbild Zwei AC3', page.text('channel')
    assert page.el('stop').is_enabled() and not page.el('record').is_enabled()
    page.driver.save_screenshot(os.path.join(artefacts, 'desktop-recording.png'))
    page.driver.set_window_size(*PHONE)
    page.wait('the phone layout', lambda: page.driver.execute_script('return window.innerWidth') <= PHONE[0])
    page.driver.save_screenshot(os.path.join(artefacts, 'phone-recording.png'))
    page.driver.set_window_size(*DESKTOP)
    page.el('stop').click()
    page.wait('the recording stopped', lambda: page.text('state') == 'idle')
    page.wait('"recording stopped" in the live log', lambda: 'recording stopped' in page.text('log'))
    page.wait('the recording in the list', lambda: 'browser recording (0).mpg' in page.text('recordings'))
    made = os.path.join(recordings, 'browser recording (0).mpg')
    assert ffprobe_codecs(made) == 'mpeg2video,ac3', ffprobe_codecs(made)
    errors = decode_errors(made)
    assert errors == '', errors


def add_timer(page, recorder, recordings):
    tomorrow = datetime.date.today() + datetime.timedelta(days=1)
    # A timer on Mondays and Fridays starts on the first of them from its
    # date on, moved by whole days of seconds (a daylight-saving change kept).
    moved = next(d for d in range(7) if (tomorrow + datetime.timedelta(days=d)).weekday() in (0, 4))
    local = lambda clock: int(time.mktime(time.strptime(f'{tomorrow} {clock}', '%Y-%m-%d %H:%M:%S')))
    start, stop = local('20:15:00') + moved * SECONDS_PER_DAY, local('22:00:00') + moved * SECONDS_PER_DAY
    Select(page.el('timer-channel')).select_by_visible_text('Testbild Zwei AC3')
    page.set_value('timer-date', tomorrow.isoformat())
    page.set_value('timer-start', '20:15:00')
    page.set_value('timer-stop', '22:00:00')
    page.el('timer-file').send_keys('browser timer')
    page.driver.find_element(By.CSS_SELECTOR, '[data-day="mo"]').click()
    page.driver.find_element(By.CSS_SELECTOR, '[data-day="fr"]').click()
    page.el('timer-add').click()
    page.wait('the timer in the table', lambda: 'browser timer' in page.text('timers'))
    row = page.text('timers')
    shown = time.strftime('%d.%m.%Y %H:%M:%S', time.localtime(start)).split()
    assert 'Testbild Zwei AC3' in row and shown[0] in row and shown[1] in row, f'{shown} not in {row}'
    assert 'mo,fr' in row, row
    # In the program's store file, as the Timer dialog saves it.
    store = os.path.join(recorder.state, 'timer.db')
    expected = {'channel': 2, 'start': start, 'stop': stop,
                'file': os.path.join(recordings, 'browser timer'), 'shutdown': 0, 'active': 1,
                'days': MONDAY_FRIDAY}
    entries = read_timer_store(store)
    assert entries == [expected], f'{entries} != [{expected}]'
    # A refusal is shown as the dialog words it, and the store stays.
    page.set_value('timer-stop', '20:15:00')
    page.el('timer-add').click()
    page.wait('the refusal', lambda: 'The stop time equals the start time' in page.text('message'))
    assert read_timer_store(store) == [expected]
    assert len(api(recorder.port, recorder.token, 'timers')['timers']) == 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--program', required=True)
    parser.add_argument('--artefacts', required=True)
    arguments = parser.parse_args()
    # ctest's time-out: the program and the browser are still stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('terminated'))
    os.makedirs(arguments.artefacts, exist_ok=True)
    for old in os.listdir(arguments.artefacts):  # of an earlier run
        if old.endswith('.png'):
            os.remove(os.path.join(arguments.artefacts, old))
    scratch = tempfile.mkdtemp(prefix='remote-browser-')
    recordings = os.path.join(scratch, 'recordings')
    os.makedirs(recordings)
    recorder = driver = None
    steps = [('a wrong token is refused', lambda: check_wrong_token(page, recorder.port, recorder.token)),
             ('the token logs in', lambda: log_in(page, recorder.token)),
             ('a recording starts and stops', lambda: record_and_stop(page, arguments.artefacts, recordings)),
             ('a timer is added in the table', lambda: add_timer(page, recorder, recordings))]
    passed = failed = 0
    ended_well = completed = False
    try:
        recorder = Recorder(os.path.abspath(arguments.program), scratch, recordings)
        recorder.wait_ready()
        driver = start_browser(os.path.join(scratch, 'profile'))
        page = Page(driver)
        for name, step in steps:
            try:
                step()
                passed += 1
                print(f'ok: {name}')
            except Exception:
                failed += 1
                print(f'FAILED: {name}')
                traceback.print_exc()
                driver.save_screenshot(os.path.join(arguments.artefacts, 'failure.png'))
                break
        if not failed:
            # The timer table and the recordings list.
            for name, size in (('desktop-timers.png', DESKTOP), ('phone-timers.png', PHONE)):
                driver.set_window_size(*size)
                driver.execute_script('document.getElementById("timers-card").scrollIntoView()')
                driver.save_screenshot(os.path.join(arguments.artefacts, name))
        completed = True
    finally:
        if driver:
            driver.quit()
        if recorder:
            status = recorder.stop()
            ended_well = status == 0
            if not ended_well:
                print(f'FAILED: the program ended with {status} after SIGTERM')
            if failed or not ended_well or not completed:
                print('the program wrote:\n' + recorder.output())
        shutil.rmtree(scratch, ignore_errors=True)
    failed += len(steps) - passed - failed
    print(f'{passed} passed, {failed} failed')
    return 0 if failed == 0 and ended_well else 1


if __name__ == '__main__':
    sys.exit(main())
