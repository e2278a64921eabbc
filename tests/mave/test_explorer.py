"""The explorer page in a real browser (Debian's chromium, driven by
Selenium): typing a word shows completions, its neighbours with their cosines
and the map; a deep link reproduces the view; the analogy form answers.
A failing test leaves a screenshot in the test's temporary folder."""

import os
import shutil

import pytest

import mave
from serve_helpers import serving

webdriver = pytest.importorskip("selenium.webdriver")
pytest.importorskip("fastapi")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
pytestmark = pytest.mark.skipif(
    not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)),
    reason="Debian's chromium and chromium-driver are not installed",
)


@pytest.fixture(scope="module")
def page_url(converted_models):
    with serving([converted_models["cbow-en"]]) as url:
        yield url


@pytest.fixture
def browser(request, tmp_path):
    """A headless chromium; a screenshot of the page is kept when the test
    fails (its path is printed)."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # The sanitizer run preloads its runtime into every child; chromium
        # does not start under it (the page is tested in the ordinary runs).
        pytest.skip("chromium cannot start with the sanitizer runtime preloaded")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in [
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--window-size=1280,900",
    ]:
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(CHROMEDRIVER))
    failures = request.session.testsfailed
    yield driver
    # The call's report is counted before the teardown runs.
    if request.session.testsfailed > failures:
        path = tmp_path / "failure.png"
        driver.save_screenshot(str(path))
        print(f"screenshot of the failing page: {path}")
    driver.quit()


def wait(driver, condition, seconds=30):
    return WebDriverWait(driver, seconds).until(lambda d: condition(d))


def neighbours(driver):
    rows = driver.find_elements(By.CSS_SELECTOR, "#neighbours tbody tr")
    return [
        (r.find_elements(By.TAG_NAME, "td")[0].text, float(r.find_elements(By.TAG_NAME, "td")[1].text))
        for r in rows
    ]


def test_type_a_word_see_neighbours_and_map(browser, page_url, converted_models):
    e = mave.load(converted_models["cbow-en"])
    browser.get(page_url + "/")
    box = wait(browser, lambda d: d.find_element(By.ID, "query"))
    wait(browser, lambda d: d.find_elements(By.CSS_SELECTOR, "#model option"))
    box.send_keys("th")
    options = wait(
        browser,
        lambda d: [o.get_attribute("value") for o in d.find_elements(By.CSS_SELECTOR, "#completions option")],
    )
    assert options and all(o.startswith("th") for o in options) and set(options) <= set(e.words)
    box.send_keys("e", Keys.ENTER)
    got = wait(browser, neighbours)
    expected = e.similar("the", 10)
    assert [w for w, _ in got] == [w for w, _ in expected]
    assert [c for _, c in got] == pytest.approx([c for _, c in expected], abs=5e-5)
    labels = wait(browser, lambda d: [t.text for t in d.find_elements(By.CSS_SELECTOR, "#map text")])
    assert labels == ["the"] + [w for w, _ in expected]
    assert len(browser.find_elements(By.CSS_SELECTOR, "#map circle")) == 11
    # The view is in the URL.
    assert browser.current_url.endswith("/?q=the&model=cbow-en")


def test_deep_link_and_analogy(browser, page_url, converted_models):
    e = mave.load(converted_models["cbow-en"])
    browser.get(page_url + "/?q=of&model=cbow-en")
    got = wait(browser, neighbours)
    assert [w for w, _ in got] == [w for w, _ in e.similar("of", 10)]
    assert browser.find_element(By.ID, "query").get_attribute("value") == "of"
    for field, word in zip("abc", ["the", "a", "of"]):
        browser.find_element(By.ID, f"analogy-{field}").send_keys(word)
    browser.find_element(By.CSS_SELECTOR, "#analogy button").click()
    answers = wait(
        browser,
        lambda d: [li.text.split()[0] for li in d.find_elements(By.CSS_SELECTOR, "#analogy-results li")],
    )
    assert answers == [w for w, _ in e.analogy("the", "a", "of", 5)]
    # A word without a vector says so on the page.
    browser.get(page_url + "/?q=" + "x" * 300)
    status = wait(browser, lambda d: d.find_element(By.ID, "status").text)
    # The server's refusal, shown as it said it (the length limit is 200).
    assert "200" in status or "vector" in status


def test_page_asks_for_the_key_and_sends_it(browser, converted_models):
    e = mave.load(converted_models["cbow-en"])
    key = "page-key-0123456789"
    with serving([converted_models["cbow-en"]], environment={"MAVE_API_KEY": key}) as url:
        browser.get(url + "/?q=of&model=cbow-en")
        form = wait(
            browser,
            lambda d: d.find_element(By.ID, "key-form").is_displayed() and d.find_element(By.ID, "key-form"),
        )
        assert "API key" in browser.find_element(By.ID, "status").text
        assert not browser.find_elements(By.CSS_SELECTOR, "#model option")
        # A wrong key is refused and the form stays.
        field = browser.find_element(By.ID, "api-key")
        field.send_keys("not-the-key", Keys.ENTER)
        wait(browser, lambda d: "not valid" in d.find_element(By.ID, "status").text)
        assert form.is_displayed()
        field.clear()
        field.send_keys(key, Keys.ENTER)
        got = wait(browser, neighbours)
        assert [w for w, _ in got] == [w for w, _ in e.similar("of", 10)]
        assert not form.is_displayed()
        # The key stays out of the URL, which is shared.
        assert key not in browser.current_url and browser.current_url.endswith("/?q=of&model=cbow-en")
