// The console's whole flow in a real browser, as a new administrator goes through it: Debian's
// chromium driven by Playwright against an instance served by lighttpd on a free loopback port,
// and a test site on 127.0.0.x:80 that the instance watches. At the end the same instance is
// served once more behind lighttpd's basic authentication, and pages of another site on another
// loopback address try to change the password with the browser's credentials for it.
//
//   node tests/e2e/console_flow.mjs STAGE_DIR SCREENSHOT_DIR
//
// STAGE_DIR holds the installed programs and templates; a fresh copy of it is the instance.
// A screenshot of every page goes to SCREENSHOT_DIR. Every process started here is stopped by
// its pid at the end; every wait is bounded.
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {chromium} from 'playwright-core';
import {adopt, argsOf, basicAuth, basicCredentials, get, log, run, serveInstance, startInstance,
        startPages, startSite, startWebhook, tempDir, waitFor} from './instance.mjs';

const [stageDir, shotDir] = argsOf('console_flow.mjs STAGE_DIR SCREENSHOT_DIR');
const stepTimeout = 15000;
let shots = 0;
// The administrator's passwords in turn: texts no page holds by chance, so that finding one
// anywhere means it leaked.
const passwords = {first: 'Fq7Zk1pX', second: 'Sw9Yt3nL', third: 'Te5Rj8mV'};
// Every page of the console the browsers got (its HTML, read when the flow ends), every
// Content-Security-Policy complaint of their consoles, and lighttpd's access logs.
const consolePages = [];
const policyComplaints = [];
const accessLogs = [];

// The pid registered in the instance's scheduler file, 0 when none.
function registeredScheduler(instance) {
  try {
    return fs.readFileSync(path.join(instance, 'vydata/vytime/scheduler')).readInt32LE(0);
  } catch {
    return 0;
  }
}

// A chromium of its own with a fresh profile (Playwright passes it as --user-data-dir).
function launchBrowser(options = {}) {
  return chromium.launchPersistentContext(tempDir('vy-e2e-profile-'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: {width: 1280, height: 900},
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    ...options,
  });
}

// The browser's page and what the steps do with it.
async function pageTools(browser) {
  const page = browser.pages()[0] || await browser.newPage();
  page.setDefaultTimeout(stepTimeout);
  page.on('console', (message) => {
    if (/Content.Security.Policy/i.test(message.text())) policyComplaints.push(message.text());
  });
  page.on('response', (response) => {
    if (response.request().resourceType() !== 'document' ||
        !new URL(response.url()).pathname.endsWith('/vyconsole.cgi')) {
      return;
    }
    consolePages.push(response.text().then((text) => ({url: response.url(), text}),
                                           () => ({url: response.url(), text: ''})));
  });
  return {
    page,
    // A screenshot of the page, which must show with the console's style sheet.
    shoot: async (name) => {
      const styled = await page.evaluate(() => [...document.styleSheets].some((sheet) => {
        try {
          return sheet.cssRules.length > 0;
        } catch {
          return false;
        }
      }));
      await page.screenshot({
        path: path.join(shotDir, `${String(++shots).padStart(2, '0')}-${name}.png`),
        fullPage: true});
      if (!styled) throw new Error(`the page of ${name} shows without its style sheet`);
    },
    expectText: (text) => page.getByText(text, {exact: false}).first().waitFor({state: 'visible'}),
    button: (name) => page.getByRole('button', {name, exact: true}).first(),
    // The groups overview, which only a logged-in administrator sees.
    overview: () => page.getByRole('button', {name: 'Open group shop', exact: true}).waitFor(),
  };
}

// Logs in on the console's login page with the password: the overview shows.
async function logIn({page, button, overview}, consoleUrl, password) {
  await page.goto(consoleUrl);
  await page.fill('input[name=apwd]', password);
  await button('Log in').click();
  await overview();
}

// A whole page of another site, its markup as given.
function html(head, body) {
  return `<!DOCTYPE html><html><head><meta charset="utf-8">${head}</head>` +
         `<body>${body}</body></html>`;
}

function attribute(text) {
  return text.replace(/&/g, '&amp;').replace(/"/g, '&quot;').replace(/</g, '&lt;');
}

const noReferrer = '<meta name="referrer" content="no-referrer">';

// The pages of the other site, each trying to change the console's password.
function attackPages(consoleUrl) {
  const change = {fnct: 'update_pass', un: 'admin', pw: 'owned123', pw2: 'owned123'};
  const target = `${consoleUrl}?${new URLSearchParams(change)}`;
  // An empty apwd, as the console's own forms send it on the web server's login.
  const fields = Object.entries({...change, apwd: ''})
      .map(([name, value]) => `<input type="hidden" name="${name}" value="${attribute(value)}">`)
      .join('');
  const form = `<form id="change" method="post" action="${attribute(consoleUrl)}">` +
               `${fields}</form><script>document.getElementById("change").submit();</script>`;
  return {
    '/link.html': html('', `<a id="prize" href="${attribute(target)}">Claim your prize</a>`),
    '/silent-get.html':
        html(noReferrer, `<script>location.href = ${JSON.stringify(target)};</script>`),
    '/post.html': html('', form),
    '/silent-post.html': html(noReferrer, form),
  };
}

// Opens the page of the other site (clicking `click` on it, when given) and returns the response
// of the console's address that the browser's top-level page then gets, past the web server's
// login, with the headers the browser sent.
async function navigateFrom({page}, consoleUrl, pageUrl, click) {
  const answered = page.waitForResponse((response) =>
    response.url().startsWith(consoleUrl) && response.status() !== 401 &&
    response.request().isNavigationRequest() && response.frame() === page.mainFrame());
  await page.goto(pageUrl, {waitUntil: 'commit'});
  if (click) await page.click(click);
  const response = await answered;
  await page.waitForLoadState();
  return {status: response.status(), sent: await response.request().allHeaders()};
}

// What one attack sent: the web server's credentials, and its Origin and Referer as expected
// (a string: that value; true: any value; false: none).
function checkSent(name, sent, expected) {
  if (!sent.authorization) throw new Error(`${name}: the browser sent no credentials`);
  for (const [header, wanted] of Object.entries(expected)) {
    const value = sent[header];
    const fits = wanted === false ? value === undefined
                                  : wanted === true ? value !== undefined : value === wanted;
    if (!fits) throw new Error(`${name}: ${header} was ${value ?? 'not sent'}`);
  }
}

// The console behind lighttpd's basic authentication, the administrator logged in on the web
// server in a browser of its own: a page of another site that sends that browser to a changing
// GET (a link, and a script with no Referer) is answered 405, one that submits a changing POST
// (with its Origin, and with "null") 403, and the password files stay as they were. The same
// change from the console's own password page is then taken.
async function crossSiteChangesRefused(instance, plain, password) {
  const htpasswd = path.join(instance.dir, '.htpasswd');
  const adminPwd = path.join(instance.dir, 'vydata/admin.pwd');
  execFileSync('htpasswd', ['-cb', htpasswd, 'admin', password], {stdio: 'ignore'});
  const served = await serveInstance(instance.dir, 'vy-e2e-auth',
                                     (dir) => basicAuth(dir, '/vyconsole.cgi'));
  accessLogs.push(served);
  const consoleUrl = `${served.url}/vyconsole.cgi`;
  if ((await get(consoleUrl)).status !== 401) throw new Error('the console needs no login');
  const other = await startPages(attackPages(consoleUrl));
  log(`cross-site changes from ${other} on the web server's login at ${served.url}`);

  const browser = await launchBrowser(
      {httpCredentials: {username: 'admin', password, origin: served.url}});
  try {
    const ui = await pageTools(browser);
    await ui.page.goto(consoleUrl);
    await ui.overview();  // the web server's login alone opens the console
    const before = [fs.readFileSync(htpasswd), fs.readFileSync(adminPwd)];
    const attacks = [
      {name: 'a link to a changing GET', page: '/link.html', click: '#prize', status: 405,
       sent: {origin: false, referer: true}},
      {name: 'a script to a changing GET, no Referer', page: '/silent-get.html', status: 405,
       sent: {origin: false, referer: false}},
      {name: 'a changing POST', page: '/post.html', status: 403, sent: {origin: other}},
      {name: 'a changing POST, no Referer', page: '/silent-post.html', status: 403,
       sent: {origin: 'null', referer: false}},
    ];
    for (const attack of attacks) {
      log(`refused: ${attack.name}`);
      const {status, sent} = await navigateFrom(ui, consoleUrl, `${other}${attack.page}`,
                                                attack.click);
      checkSent(attack.name, sent, attack.sent);
      if (status !== attack.status) throw new Error(`${attack.name} got ${status}`);
      await ui.expectText('Refused:');
      await ui.shoot(`refused-${path.basename(attack.page, '.html')}`);
    }
    const after = [fs.readFileSync(htpasswd), fs.readFileSync(adminPwd)];
    if (!before.every((bytes, file) => bytes.equals(after[file]))) {
      throw new Error('a refused change rewrote .htpasswd or admin.pwd');
    }
    log('the password unchanged: the web server and the console still take it');
    if ((await get(consoleUrl, basicCredentials('admin', password))).status !== 200) {
      throw new Error('the web server no longer takes the password');
    }
    await logIn(plain, `${instance.url}/vyconsole.cgi`, password);

    log('the same change from the console\'s own password page is taken');
    await ui.page.goto(consoleUrl);
    await ui.button('Password').click();
    await ui.page.fill('input[name=pw]', passwords.third);
    await ui.page.fill('input[name=pw2]', passwords.third);
    await ui.button('Save').click();
    await ui.expectText('Administrative Username/Password Has Been Updated');
    // The web server now wants the new password, so the page's style sheet, asked for with the
    // old one, was refused: the browser logs in again as its user would, and the console shows.
    await browser.setHTTPCredentials({username: 'admin', password: passwords.third,
                                      origin: served.url});
    await ui.page.goto(consoleUrl);
    await ui.overview();
    await ui.shoot('own-page-change');
    if (fs.readFileSync(htpasswd).equals(before[0]) ||
        fs.readFileSync(adminPwd).equals(before[1])) {
      throw new Error('the change from the console\'s own page left a password file as it was');
    }
    const statusWith = async (pw) => (await get(consoleUrl, basicCredentials('admin', pw))).status;
    if (await statusWith(passwords.third) !== 200 || await statusWith(password) !== 401) {
      throw new Error('the web server does not take exactly the new password');
    }
    await logIn(plain, `${instance.url}/vyconsole.cgi`, passwords.third);
  } finally {
    await browser.close();
  }
}

// The files of a directory and all below it.
function filesUnder(dir) {
  return fs.readdirSync(dir, {withFileTypes: true, recursive: true})
      .filter((entry) => entry.isFile())
      .map((entry) => path.join(entry.path ?? entry.parentPath, entry.name));
}

// No page the browsers got, no line of lighttpd's access logs and no file of the instance but
// the two hash files holds a password, and no page broke the content policy.
async function passwordsNowhere(instance) {
  log('no password in a page, an access log line or a file; no content policy complaint');
  if (policyComplaints.length) throw new Error(`content policy: ${policyComplaints.join('\n')}`);
  const pages = await Promise.all(consolePages);
  if (pages.length < 20) throw new Error(`only ${pages.length} console pages were seen`);
  const texts = pages.map(({url, text}) => ({what: `the page of ${url}`, text: url + text}));
  for (const server of accessLogs) {
    // lighttpd writes its log in batches: a last request of our own shows it is all there.
    await get(`${server.url}/flush-mark`);
    const text = await waitFor(`the access log of ${server.url}`, 15000, async () => {
      const logged = fs.readFileSync(server.accessLog, 'latin1');
      return logged.includes('/flush-mark') ? logged : undefined;
    });
    texts.push({what: server.accessLog, text});
  }
  const hashFiles = ['vydata/admin.pwd', '.htpasswd'].map((file) => path.join(instance.dir, file));
  for (const file of filesUnder(instance.dir).filter((file) => !hashFiles.includes(file))) {
    texts.push({what: file, text: fs.readFileSync(file, 'latin1')});
  }
  for (const {what, text} of texts) {
    for (const password of Object.values(passwords)) {
      if (text.includes(password)) throw new Error(`${what} holds the password ${password}`);
    }
  }
}

// A group of its own, private, whose chat notification goes to a webhook of the flow: the test
// message reaches it once, as the JSON service's document, and the console says it was sent.
async function chatTestMessageSent({page, shoot, expectText, button, overview}, group) {
  const hook = await startWebhook();
  await button('Main Page').click();
  await overview();
  await button('New group').click();
  await page.getByLabel('Name of the new group').fill(group);
  await button('Create').click();
  await expectText('Group Updated');
  await page.selectOption('select[name=TYPEINF]', '5');
  await page.fill('input[name=UPDCMD]', `json:${hook.url}/hook`);
  await button('Send a test message').click();
  await page.waitForLoadState();
  const said = (await page.locator('.msg').innerText()).trim();
  if (said !== 'Test message sent to json (200 OK).') throw new Error(`the console said "${said}"`);
  await shoot('chat-test');
  if (hook.received.length !== 1) {
    throw new Error(`the webhook got ${hook.received.length} requests for one test message`);
  }
  const [{method, path: where, type, body}] = hook.received;
  if (method !== 'POST' || where !== '/hook' || !type.startsWith('application/json')) {
    throw new Error(`the webhook got ${method} ${where} (${type})`);
  }
  const sent = JSON.parse(body);
  if (sent.test !== true || sent.group !== group || !sent.text?.includes(group) ||
      sent.changes?.length !== 0) {
    throw new Error(`the test message was ${body}`);
  }
  // The test stored the settings it sent through.
  if (await page.inputValue('select[name=TYPEINF]') !== '5' ||
      await page.inputValue('input[name=UPDCMD]') !== `json:${hook.url}/hook`) {
    throw new Error('the editor lost the notification settings the test message used');
  }
}

// The group `shown.group` made public under `shown.title`: the status page, its JSON and its
// badge then show it, its URL as the host alone in `shown.state` (the page's word), and nothing
// of the private group `hidden`, whose badge is the missing one. The page fits a phone's width
// without scrolling sideways.
async function publicStatusShown(ui, statusUrl, shown, hidden) {
  const {page, shoot, expectText, button, overview} = ui;
  await button('Main Page').click();
  await overview();
  await button(`Settings of group ${shown.group}`).click();
  await page.check('input[name=PUBLIC]');
  await page.fill('input[name=PUBTITLE]', shown.title);
  await button('Save settings').click();
  await expectText('Group Settings Updated');

  const answer = await page.goto(statusUrl);
  if (answer.status() !== 200) throw new Error(`the status page answered ${answer.status()}`);
  const html = await page.content();
  const group = page.locator('section.group');
  if (await group.count() !== 1 || (await group.locator('h2').innerText()).trim() !== shown.title) {
    throw new Error('the status page does not show the public group under its title');
  }
  const url = group.locator('li.url');
  if ((await url.locator('.addr').innerText()).trim() !== shown.host ||
      (await url.locator('.state').innerText()).trim() !== shown.state) {
    throw new Error(`the status page shows the URL as "${await url.innerText()}"`);
  }
  if (html.includes(hidden) || html.includes(shown.url)) {
    throw new Error('the status page shows the private group or the whole address');
  }
  // The uptime bar spans the URL's row and keeps its height, whatever the width.
  const barFits = () => page.evaluate(() => {
    const bar = document.querySelector('li.url .bar').getBoundingClientRect();
    const row = document.querySelector('li.url').getBoundingClientRect();
    return Math.abs(bar.width - row.width) < 1 && bar.height === 24;
  });
  const desktopBar = await barFits();
  await shoot('status');
  await page.setViewportSize({width: 390, height: 844});
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, innerWidth]);
  const phoneBar = await barFits();
  await shoot('status-phone');
  await page.setViewportSize({width: 1280, height: 900});
  if (widths[0] > widths[1]) throw new Error(`the status page is ${widths[0]} px wide on a phone`);
  if (!desktopBar || !phoneBar) throw new Error('the uptime bar does not span its row');

  const json = await page.request.get(`${statusUrl}?format=json`);
  const data = await json.json();
  const urls = data.groups?.length === 1 && data.groups[0].group === shown.group &&
               data.groups[0].title === shown.title ? data.groups[0].urls : [];
  if (urls.length !== 1 || urls[0].url !== shown.host || urls[0].state !== shown.state) {
    throw new Error(`the status JSON is ${JSON.stringify(data)}`);
  }
  const badge = async (group) => {
    const reply = await page.request.get(`${statusUrl}?badge=status&group=${group}`);
    return {status: reply.status(), type: reply.headers()['content-type'], svg: await reply.text()};
  };
  const publicBadge = await badge(shown.group);
  if (publicBadge.status !== 200 || publicBadge.type !== 'image/svg+xml' ||
      !publicBadge.svg.startsWith('<svg') || !publicBadge.svg.includes(shown.title) ||
      !publicBadge.svg.includes(shown.state)) {
    throw new Error(`the badge is ${publicBadge.status} ${publicBadge.type}: ${publicBadge.svg}`);
  }
  const privateBadge = await badge(hidden);
  if (privateBadge.status !== 404 || !privateBadge.svg.includes('not found')) {
    throw new Error(`the private group's badge is ${privateBadge.status}: ${privateBadge.svg}`);
  }
}

async function main() {
  fs.mkdirSync(shotDir, {recursive: true});
  const instance = await startInstance(stageDir, 'vy-e2e');
  const site = await startSite('<html><head><title>Shop</title></head><body><p>Price: 10 EUR</p>' +
                               '<p>In stock</p></body></html>');
  const consoleUrl = `${instance.url}/vyconsole.cgi`;
  accessLogs.push(instance);
  log(`console ${consoleUrl}, site ${site.url}`);

  const browser = await launchBrowser();
  const ui = await pageTools(browser);
  const {page, shoot, expectText, button, overview} = ui;
  // The state cells of the URL's row, as shown.
  const row = (url) => page.locator('tr', {has: page.locator(`input[name=TSELURL][value="${url}"]`)});
  // A cell of the row holding exactly the text (the address in the row may hold "200" too).
  const cell = (url, text) => row(url).getByRole('cell', {name: text, exact: true}).first();
  const checkNow = async (url) => {
    await page.check(`input[name=TSELURL][value="${url}"]`);
    await button('Check now').click();
    await page.waitForLoadState();
  };

  try {
    log('first visit: the administrator');
    await page.goto(consoleUrl);
    await expectText('Choose the administrator');
    await shoot('first-visit');
    await page.fill('input[name=un]', 'admin');
    await page.fill('input[name=pw]', passwords.first);
    await page.fill('input[name=pw2]', passwords.first);
    await button('Save').click();

    log('the settings, saved once');
    await expectText('Administrative Username/Password Has Been Updated');
    await shoot('settings');
    await button('Save settings').click();
    await expectText('Settings Updated');

    log('a group with a required text');
    await page.goto(consoleUrl);  // a fresh request: the login
    await page.fill('input[name=apwd]', passwords.first);
    await button('Log in').click();
    await button('New group').click();
    await page.getByLabel('Name of the new group').fill('shop');
    await button('Create').click();
    await expectText('Group Updated');
    await page.selectOption('select[name=TYPECONT]', 'p');
    await page.fill('textarea[name=CONT]', 'In stock');
    await button('Add text').click();
    await expectText('Group Settings Updated');
    await shoot('group-settings');

    log('the site added and checked: up with 200');
    await button('Back to the group').click();
    await button('Add URL').click();
    await page.fill('input[name=URL]', site.url);
    await page.check('input[name=CHKPRES]');
    await button('Save URL').click();
    await expectText('URL Updated');
    await checkNow(site.url);
    await cell(site.url, '200').waitFor();
    await cell(site.url, 'Yes').waitFor();
    await shoot('group-up');

    log('the site fails: down with 500 and a check log row');
    site.failing = true;
    await checkNow(site.url);
    await cell(site.url, '500').waitFor();
    await cell(site.url, 'No').waitFor();
    await shoot('group-down');
    await button('Check log').click();
    await expectText('500');
    if (await page.locator('tbody tr', {hasText: site.url}).count() < 2) {
      throw new Error('the check log does not show both checks');
    }
    await shoot('check-log');

    log('a banned text the page holds is found');
    site.failing = false;
    await button('Back to the group').click();
    await button('Group settings').click();
    await page.selectOption('select[name=TYPECONT]', 'b');
    await page.fill('textarea[name=CONT]', 'price');
    await button('Add text').click();
    await expectText('Group Settings Updated');
    await button('Back to the group').click();
    await page.check(`input[name=TSELURL][value="${site.url}"]`);
    await button('Edit').click();
    await page.check('input[name=CHKBAN]');
    await button('Save URL').click();
    await checkNow(site.url);
    await cell(site.url, '200').waitFor();
    const bannedCell = row(site.url).locator('td').nth(1);
    if ((await bannedCell.innerText()).trim() !== 'Yes') {
      throw new Error(`banned text cell shows "${await bannedCell.innerText()}"`);
    }
    await shoot('banned-found');

    log('the URL\'s history: its page shows the checks made so far, one of them failed');
    if (await row(site.url).locator('svg.spark').count() !== 1) {
      throw new Error('the group page shows no chart of the last 24 hours');
    }
    await row(site.url).getByRole('button', {name: /^History/}).click();
    await expectText('URL history');
    await expectText('The last checks');
    if (await page.locator('svg').count() < 3) throw new Error('the URL page lacks its charts');
    await shoot('url-history');
    await button(/^Back to group/).click();
    await expectText('Check now');

    log('a chat test message from a private group of its own reaches a webhook');
    await chatTestMessageSent(ui, 'backroom');

    log('the group public: the status page, its JSON and badge show it, the private one not');
    await publicStatusShown(ui, `${instance.url}/vystatus.cgi`,
                            {group: 'shop', title: 'Shop front', url: site.url,
                             host: new URL(site.url).hostname, state: 'down'},
                            'backroom');
    await logIn(ui, consoleUrl, passwords.first);
    await button('Open group shop').click();
    await expectText('Check now');

    log('help keeps the login: a topic from the group page\'s help, then the main page');
    await button('Help').click();
    await expectText('Help: a group\'s page');
    await page.locator('main button.link[value=checklog]').first().click();  // in the text
    await expectText('Help: the check log');
    await shoot('help');
    await button('Main Page').click();
    await overview();
    if (await page.locator('input[name=apwd][type=password]').count()) {
      throw new Error('the main page after help shows the login form');
    }
    await button('Open group shop').click();

    log('the scheduler started and stopped');
    await button('Settings').click();
    await expectText('STOPED');
    await button('Run the scheduler').click();
    await page.waitForLoadState();  // the settings page follows in the same answer
    // The daemon registers itself right after the start returns: look again until it shows.
    for (let look = 0; look < 20 && !(await page.getByText('ACTIVE').count()); ++look) {
      await page.waitForTimeout(250);
      await button('Settings').click();
    }
    await expectText('ACTIVE');
    await shoot('scheduler-active');
    await button('Stop the scheduler').click();
    await expectText('STOPED');

    log('the error log');
    await button('Error log').click();
    await expectText('Clear the error log');
    await shoot('error-log');

    log('a new password; the old one is an invalid password, the new one logs in');
    await button('Password').click();
    await page.fill('input[name=pw]', passwords.second);
    await page.fill('input[name=pw2]', passwords.second);
    await button('Save').click();
    await expectText('Administrative Username/Password Has Been Updated');
    await page.goto(consoleUrl);
    await page.fill('input[name=apwd]', passwords.first);
    await button('Log in').click();
    await expectText('Invalid Password');  // the old one opens nothing, and says so
    await page.locator('input[name=apwd][type=password]').waitFor();
    await shoot('invalid-password');
    await page.fill('input[name=apwd]', passwords.second);
    await button('Log in').click();
    await overview();  // the overview of the groups
    await shoot('logged-in-again');

    log('log out, and in again');
    await button('Log out').click();
    await expectText('You have logged out.');
    await page.locator('input[name=apwd][type=password]').waitFor();
    await shoot('logged-out');
    await page.fill('input[name=apwd]', passwords.second);
    await button('Log in').click();
    await overview();

    await crossSiteChangesRefused(instance, ui, passwords.second);

    log('nothing of the instance but the programs is served');
    fs.writeFileSync(path.join(instance.dir, 'hosts.dat'), 'site 127.0.0.1\n');
    fs.copyFileSync(path.join(instance.dir, 'vyconsole.cgi'),
                    path.join(instance.dir, 'vyconsole.cgi~'));
    for (const file of ['vydata/admin.pwd', 'vydata/vyvars.dat', 'vydata/vydb/shop.dat',
                        'vydata/vychklog/shop.log', '.htpasswd', 'hosts.dat', 'dumplog.dat',
                        'vyconsole.cgi~', 'vytpl/admin_login.htm', 'vydata/']) {
      const {status} = await get(`${instance.url}/${file}`);
      if (status !== 403 && status !== 404) throw new Error(`/${file} answered ${status}`);
    }
    await passwordsNowhere(instance);
    log('passed');
  } finally {
    const daemon = registeredScheduler(instance.dir);
    if (daemon > 0) adopt(daemon);
    await shoot('last-page').catch(() => {});
    await browser.close();
  }
}

run('e2e', main, 240000);
