#!/usr/bin/env python3
"""The remote control's page in a real browser: headless Chromium driven by
Selenium against remote_demo_server (the page on the fake backend). Logs in
with the token (a wrong one first), starts and stops a recording and sees
the live log and the byte counts move, adds a timer in the table, and saves
screenshots at desktop and phone width into the artefacts folder.

    browser_test.py --server PATH --artefacts DIR
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

WAIT_S = 30  # generous bound for anything the page must show
DESKTOP = (1280, 1100)
PHONE = (390, 844)


def start_server(server, state, recordings):
    process = subprocess.Popen([server, '--state-dir', state, '--recordings-dir', recordings],
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()  # "port N" once it listens
    if not line.startswith('port '):
        process.kill()
        raise RuntimeError(f'the server did not start: {line!r}')
    return process, int(line.split()[1])


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


def check_wrong_token(page, port):
    page.driver.get(f'http://127.0.0.1:{port}/')
    page.wait('the login form', lambda: page.el('login').is_displayed())
    page.el('token').send_keys('0123456789abcdef')
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
    page.wait('the live connection', lambda: 'on' in page.el('live').get_attribute('class'))


def record_and_stop(page, artefacts):
    Select(page.el('mux')).select_by_visible_text('as ~DVD')
    Select(page.el('video')).select_by_visible_text("don't save")
    Select(page.el('record-channel')).select_by_visible_text('Radio Quelmar')
    page.el('file').send_keys('browser recording')
    lines_before = page.log_lines()
    page.el('record').click()
    page.wait('the recording state', lambda: page.text('state') == 'recording')
    first = page.number('bytes-mux')
    page.wait('the multiplex byte count moving', lambda: page.number('bytes-mux') > first)
    page.wait('live log lines', lambda: page.log_lines() >= lines_before + 3)
    seen = page.number('bytes-mux')
    page.wait('the byte count moving on', lambda: page.number('bytes-mux') > seen)
    assert page.text('channel').endswith('Radio Quelmar'), page.text('channel')
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


def add_timer(page, port, token):
    tomorrow = time.strftime('%Y-%m-%d', time.localtime(time.time() + 86400))
    Select(page.el('timer-channel')).select_by_visible_text('Testbild Zwei AC3')
    page.set_value('timer-date', tomorrow)
    page.set_value('timer-start', '20:15:00')
    page.set_value('timer-stop', '22:00:00')
    page.el('timer-file').send_keys('browser timer')
    page.driver.find_element(By.CSS_SELECTOR, '[data-day="mo"]').click()
    page.driver.find_element(By.CSS_SELECTOR, '[data-day="fr"]').click()
    page.el('timer-add').click()
    page.wait('the timer in the table', lambda: 'browser timer' in page.text('timers'))
    row = page.text('timers')
    assert 'Testbild Zwei AC3' in row and '20:15:00' in row and 'mo,fr' in row, row
    timers = api(port, token, 'timers')['timers']
    assert len(timers) == 1 and timers[0]['file'].endswith('/browser timer'), timers
    assert timers[0]['stop'].endswith('22:00:00') and timers[0]['days'] == 'mo,fr', timers
    # A refusal is shown as the dialog words it.
    page.set_value('timer-stop', '20:15:00')
    page.el('timer-add').click()
    page.wait('the refusal', lambda: 'The stop time equals the start time' in page.text('message'))
    assert len(api(port, token, 'timers')['timers']) == 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--server', required=True)
    parser.add_argument('--artefacts', required=True)
    arguments = parser.parse_args()
    os.makedirs(arguments.artefacts, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix='remote-browser-')
    state = os.path.join(scratch, 'state')
    recordings = os.path.join(scratch, 'recordings')
    os.makedirs(recordings)
    server, port = start_server(arguments.server, state, recordings)
    driver = None
    steps = [('a wrong token is refused', lambda: check_wrong_token(page, port)),
             ('the token logs in', lambda: log_in(page, token)),
             ('a recording starts and stops', lambda: record_and_stop(page, arguments.artefacts)),
             ('a timer is added in the table', lambda: add_timer(page, port, token))]
    passed = failed = 0
    try:
        with open(os.path.join(state, 'remote.token'), encoding='ascii') as f:
            token = f.read().strip()
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
            driver.set_window_size(*DESKTOP)
            driver.save_screenshot(os.path.join(arguments.artefacts, 'desktop.png'))
            driver.set_window_size(*PHONE)
            driver.save_screenshot(os.path.join(arguments.artefacts, 'phone.png'))
    finally:
        if driver:
            driver.quit()
        server.terminate()
        server.wait(timeout=WAIT_S)
        shutil.rmtree(scratch, ignore_errors=True)
    failed += len(steps) - passed - failed
    print(f'{passed} passed, {failed} failed')
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
