// A headless Chromium that a test steers line by line: each line on standard input is one
// JSON command, each line on standard output the JSON answer. Chromium is Debian's, started
// with no network activity of its own (background updates and the like hang on a closed
// network).
import {chromium} from 'playwright-core';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {createInterface} from 'node:readline';

const profile = mkdtempSync(join(tmpdir(), 'zelm-chromium-'));
// A fresh profile of its own (Playwright passes it as --user-data-dir).
const context = await chromium.launchPersistentContext(profile, {
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
  ],
  viewport: {width: 1000, height: 720},
});
const page = context.pages()[0] ?? await context.newPage();

// The text of an element: a text field's value, anything else's text.
async function textOf(selector) {
  return page.locator(selector).evaluate((e) => ('value' in e && e.tagName !== 'BUTTON' ? e.value : e.textContent));
}

const commands = {
  open: async ({url}) => { await page.goto(url); },
  click: async ({selector}) => { await page.click(selector, {timeout: 5000}); },
  fill: async ({selector, value}) => { await page.fill(selector, value, {timeout: 5000}); },
  text: async ({selector}) => textOf(selector),
  visible: async ({selector}) => page.locator(selector).isVisible(),
  count: async ({selector}) => page.locator(selector).count(),
  // Waits until the element's text contains `contains` (or equals `equals`); the answer is
  // the milliseconds it took.
  waitText: async ({selector, contains, equals, timeout}) => {
    const start = Date.now();
    await page.waitForFunction(([sel, part, whole]) => {
      const e = document.querySelector(sel);
      if (!e) return false;
      const value = 'value' in e && e.tagName !== 'BUTTON' ? e.value : e.textContent;
      return whole !== undefined && whole !== null ? value === whole : value.includes(part);
    }, [selector, contains, equals], {timeout: timeout ?? 5000, polling: 20});
    return Date.now() - start;
  },
  waitVisible: async ({selector, visible, timeout}) => {
    await page.locator(selector).waitFor({state: visible === false ? 'hidden' : 'visible', timeout: timeout ?? 5000});
  },
  screenshot: async ({path}) => { await page.screenshot({path}); },
};

const lines = createInterface({input: process.stdin});
for await (const line of lines) {
  if (line.trim() === '') continue;
  const command = JSON.parse(line);
  if (command.op === 'quit') break;
  let answer;
  try {
    const value = await commands[command.op](command);
    answer = {ok: true, value: value ?? null};
  } catch (error) {
    answer = {ok: false, error: String(error.message || error).split('\n')[0]};
  }
  process.stdout.write(JSON.stringify(answer) + '\n');
}
await context.close();
rmSync(profile, {recursive: true, force: true});
