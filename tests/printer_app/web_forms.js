// Drives headless Chromium through the printer application's web forms, as
// the printer's owner would: sets the printer's darkness on the printing
// defaults page and the loaded label on the media page, presses "Print Test
// Page" on the printer's page and opens its jobs page. Chromium is driven
// over its DevTools pipe (file descriptors 3 and 4, NUL-ended JSON); every
// step waits until the tab shows the new document it causes, fully loaded.
//
// node web_forms.js CHROMIUM PROFILE_DIR BASE_URL PRINTER DARKNESS MEDIA TRACKING
// Prints one JSON object: the banner each form left and the jobs page text.
'use strict';
const { spawn } = require('child_process');

const [chromium, profile, base, printer, darkness, media, tracking] = process.argv.slice(2);

// Root may run the browser only without its sandbox.
const browser = spawn(chromium, ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--user-data-dir=' + profile, '--remote-debugging-pipe', 'about:blank'],
  { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'], env: { ...process.env, HOME: profile } });
const toBrowser = browser.stdio[3];
const fromBrowser = browser.stdio[4];

let nextId = 1;
const replies = new Map();  // id -> resolve
let pending = '';
fromBrowser.on('data', (chunk) => {
  pending += chunk.toString('utf8');
  let end;
  while ((end = pending.indexOf('\0')) >= 0) {
    const message = JSON.parse(pending.slice(0, end));
    pending = pending.slice(end + 1);
    if (message.id !== undefined && replies.has(message.id)) {
      replies.get(message.id)(message);
      replies.delete(message.id);
    }
  }
});

function send(method, params, sessionId) {
  const id = nextId++;
  return new Promise((resolve, reject) => {
    replies.set(id, (m) => (m.error ? reject(new Error(method + ': ' + JSON.stringify(m.error))) : resolve(m.result)));
    toBrowser.write(JSON.stringify({ id, method, params: params || {}, sessionId }) + '\0');
  });
}

function fail(error) {
  console.error(String(error && error.stack ? error.stack : error));
  browser.kill('SIGKILL');
  process.exit(1);
}

async function main() {
  const { targetId } = await send('Target.createTarget', { url: 'about:blank' });
  const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });

  const evaluate = async (expression) => {
    const r = await send('Runtime.evaluate', { expression, returnByValue: true }, sessionId);
    if (r.exceptionDetails) throw new Error('page script failed: ' + expression + ': ' + JSON.stringify(r.exceptionDetails));
    return r.result.value;
  };
  // Runs `action` and waits until the tab shows another document than the
  // one before it (that one was marked), fully loaded, at `path` when given.
  // Load events are not counted: one left over from an earlier page, or a
  // page that loads twice, would let a step run on the wrong page.
  const loading = async (action, path) => {
    await evaluate('window.vormelLeft = true');
    await action();
    for (;;) {
      // Fails while the old document is torn down; asked again.
      const now = await evaluate(`({ left: window.vormelLeft === true,
          ready: document.readyState, path: location.pathname })`).catch(() => null);
      if (now && !now.left && now.ready === 'complete' && (path === undefined || now.path === path))
        return;
      await new Promise((resolve) => setTimeout(resolve, 20));  // a poll interval only
    }
  };
  const open = (path) => loading(() => send('Page.navigate', { url: base + path }, sessionId), path);
  // Sets the select `name` of the page's form to `value`; false when no option has it.
  const choose = (name, value) => evaluate(`(() => { const s = document.querySelector('select[name="${name}"]');
      if (!s || ![...s.options].some((o) => o.value === ${JSON.stringify(value)})) return false;
      s.value = ${JSON.stringify(value)}; return true; })()`);
  // Presses the submit button of the form whose hidden action is `action`
  // (or of the only form), as the owner would.
  const press = (action) => loading(() => evaluate(`(() => {
      const forms = [...document.querySelectorAll('form')];
      const form = ${JSON.stringify(action)} === '' ? forms[0]
          : forms.find((f) => f.querySelector('input[name="action"][value=${JSON.stringify(action)}]'));
      if (!form) throw new Error('no form for ' + ${JSON.stringify(action)} + ' on ' + location.href);
      form.querySelector('input[type="submit"]').click(); return true; })()`));
  const banner = () => evaluate(`(() => { const b = document.querySelector('.banner'); return b ? b.textContent : ''; })()`);

  const result = {};
  await open('/' + printer + '/printing');
  if (!(await choose('print-darkness', darkness))) throw new Error('no print-darkness choice ' + darkness);
  await press('');
  result.printing = await banner();

  await open('/' + printer + '/media');
  if (!(await choose('ready0-size', media))) throw new Error('no label size ' + media);
  if (!(await choose('ready0-tracking', tracking))) throw new Error('no media tracking ' + tracking);
  await press('');
  result.media = await banner();

  await open('/' + printer);
  await press('print-test-page');
  result.testPage = await banner();

  await open('/' + printer + '/jobs');
  result.jobs = await evaluate('document.body.innerText');

  console.log(JSON.stringify(result));
  await send('Browser.close').catch(() => {});
  browser.kill('SIGKILL');
  process.exit(0);
}

browser.on('error', fail);
main().catch(fail);
