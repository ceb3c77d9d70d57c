"""Headless Chromium driven by selenium, for the viewer's tests, pictures and
benchmark. The browser starts without the sanitizer's preload: it hangs
under it."""

import os
import shutil

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def available():
    return all(os.access(p, os.X_OK) for p in (CHROMIUM, CHROMEDRIVER)) or bool(
        shutil.which("chromium") and shutil.which("chromedriver"))


def start_browser(width=1400, height=900):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=%d,%d" % (width, height), "--force-device-scale-factor=1",
                "--lang=en-US", "--enable-precise-memory-info"):
        options.add_argument(arg)
    options.binary_location = CHROMIUM if os.path.exists(CHROMIUM) else shutil.which("chromium")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    service = Service(CHROMEDRIVER if os.path.exists(CHROMEDRIVER) else shutil.which("chromedriver"),
                      env=env)
    driver = webdriver.Chrome(options=options, service=service)
    driver.set_script_timeout(60)
    return driver
