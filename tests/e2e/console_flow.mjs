// The console's whole flow in a real browser, as a new administrator goes through it: Debian's
// chromium driven by Playwright against an instance served by lighttpd on a free loopback port,
// and a test site on 127.0.0.x:80 that the instance watches.
//
//   node tests/e2e/console_flow.mjs STAGE_DIR SCREENSHOT_DIR
//
// STAGE_DIR holds the installed programs and templates; a fresh copy of it is the instance.
// A screenshot of every page goes to SCREENSHOT_DIR. Every process started here is stopped by
// its pid at the end; every wait is bounded.
import fs from 'node:fs';
import path from 'node:path';
import {chromium} from 'playwright-core';
import {adopt, argsOf, get, log, run, startInstance, startSite, tempDir} from './instance.mjs';

const [stageDir, shotDir] = argsOf('console_flow.mjs STAGE_DIR SCREENSHOT_DIR');
const stepTimeout = 15000;

// The pid registered in the instance's scheduler file, 0 when none.
function registeredScheduler(instance) {
  try {
    return fs.readFileSync(path.join(instance, 'vydata/vytime/scheduler')).readInt32LE(0);
  } catch {
    return 0;
  }
}

async function main() {
  fs.mkdirSync(shotDir, {recursive: true});
  const instance = await startInstance(stageDir, 'vy-e2e');
  const site = await startSite('<html><head><title>Shop</title></head><body><p>Price: 10 EUR</p>' +
                               '<p>In stock</p></body></html>');
  const consoleUrl = `${instance.url}/vyconsole.cgi`;
  log(`console ${consoleUrl}, site ${site.url}`);

  // A fresh profile each run: Playwright passes it to chromium as --user-data-dir.
  const profile = tempDir('vy-e2e-profile-');
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: {width: 1280, height: 900},
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = browser.pages()[0] || await browser.newPage();
  page.setDefaultTimeout(stepTimeout);
  let shots = 0;
  const shoot = async (name) => {
    await page.screenshot({path: path.join(shotDir, `${String(++shots).padStart(2, '0')}-${name}.png`),
                           fullPage: true});
  };
  const expectText = async (text) => {
    await page.getByText(text, {exact: false}).first().waitFor({state: 'visible'});
  };
  const button = (name) => page.getByRole('button', {name, exact: true}).first();
  // The state cells of the URL's row, as shown.
  const row = (url) => page.locator('tr', {has: page.locator(`input[name=TSELURL][value="${url}"]`)});
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
    await page.fill('input[name=pw]', 'first');
    await page.fill('input[name=pw2]', 'first');
    await button('Save').click();

    log('the settings, saved once');
    await expectText('Administrative Username/Password Has Been Updated');
    await shoot('settings');
    await button('Save settings').click();
    await expectText('Settings Updated');

    log('a group with a required text');
    await page.goto(consoleUrl);  // a fresh request: the login
    await page.fill('input[name=apwd]', 'first');
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
    await row(site.url).getByText('200').waitFor();
    await row(site.url).getByText('Yes').first().waitFor();
    await shoot('group-up');

    log('the site fails: down with 500 and a check log row');
    site.failing = true;
    await checkNow(site.url);
    await row(site.url).getByText('500').waitFor();
    await row(site.url).getByText('No').first().waitFor();
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
    await row(site.url).getByText('200').waitFor();
    const bannedCell = row(site.url).locator('td').nth(1);
    if ((await bannedCell.innerText()).trim() !== 'Yes') {
      throw new Error(`banned text cell shows "${await bannedCell.innerText()}"`);
    }
    await shoot('banned-found');

    log('the scheduler started and stopped');
    await button('Settings').click();
    await expectText('STOPED');
    await button('Run the scheduler').click();
    await page.waitForURL(/fnct=setup/);
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

    log('a new password, and a login with it');
    await button('Password').click();
    await page.fill('input[name=pw]', 'second');
    await page.fill('input[name=pw2]', 'second');
    await button('Save').click();
    await expectText('Administrative Username/Password Has Been Updated');
    await page.goto(consoleUrl);
    await page.fill('input[name=apwd]', 'first');
    await button('Log in').click();
    await page.locator('input[name=apwd]').waitFor();  // the old one opens nothing
    await page.fill('input[name=apwd]', 'second');
    await button('Log in').click();
    await button('Open group shop').waitFor();  // the overview of the two groups
    await shoot('logged-in-again');

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
    log('passed');
  } finally {
    const daemon = registeredScheduler(instance.dir);
    if (daemon > 0) adopt(daemon);
    await shoot('last-page').catch(() => {});
    await browser.close();
  }
}

run('e2e', main);
