// The worker's metrics as a real Prometheus sees them: Debian's prometheus scrapes
// vyrunner.cgi?metrics every second through lighttpd with basic authentication, and its query API
// shows a loopback test site up after a check run and down after the site fails and is checked
// again.
//
//   node tests/e2e/metrics_flow.mjs STAGE_DIR
//
// STAGE_DIR holds the installed programs and templates; a fresh copy of it is the instance.
// Everything listens on loopback addresses only; every wait is bounded and the whole flow ends
// within a minute. Every process started here is stopped by its pid and every temporary
// directory is removed.
import {execFileSync, spawn} from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {argsOf, basicAuth, freePort, get, log, post, run, start, startInstance, startSite,
  waitFor} from './instance.mjs';

const [stageDir] = argsOf('metrics_flow.mjs STAGE_DIR');

// Runs the worker in the instance with the administrator's password, at most 30 s; throws unless
// it exits with `expected`. Asynchronous, so that the test site in this process can answer it.
async function worker(dir, args, input = '', expected = 0) {
  const child = spawn('./vyrunner.cgi', args, {
    cwd: dir, stdio: ['pipe', 'ignore', 'ignore'], timeout: 30000,
    env: {PATH: process.env.PATH, ADMIN_PWD: 'secret'},
  });
  child.stdin.end(input);
  const status = await new Promise((resolve) => {
    child.once('exit', resolve);
    child.once('error', () => resolve(null));
  });
  if (status !== expected) {
    throw new Error(`vyrunner.cgi ${args.join(' ')} exited ${status}, not ${expected}`);
  }
}

function prometheusConfig(port) {
  return `global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: vantry
    metrics_path: /vyrunner.cgi
    params:
      metrics: ['']
    basic_auth:
      username: admin
      password: secret
    static_configs:
      - targets: ['127.0.0.1:${port}']
`;
}

// The value of vantry_url_up for the URL as Prometheus holds it now, undefined while it has none.
async function urlUp(api, url) {
  const query = encodeURIComponent(`vantry_url_up{url="${url}"}`);
  const {status, body} = await get(`${api}/api/v1/query?query=${query}`);
  const result = status === 200 ? JSON.parse(body).data.result : [];
  return result.length === 1 ? result[0].value[1] : undefined;
}

// Waits until Prometheus holds the value for the URL.
function urlUpBecomes(api, url, value) {
  return waitFor(`vantry_url_up ${value}`, 10000,
                 async () => ((await urlUp(api, url)) === value ? value : undefined));
}

async function main() {
  const started = Date.now();
  const instance =
      await startInstance(stageDir, 'vy-metrics', (dir) => basicAuth(dir, '/vyrunner.cgi'));
  const {dir, work, url: web} = instance;
  const site = await startSite('<html><body>Shop</body></html>');
  log(`the administrator made on the console's first visit (${web})`);
  await post(`${web}/vyconsole.cgi`,
             {fnct: 'update_pass', un: 'admin', pw: 'secret', pw2: 'secret'});
  if (!fs.existsSync(path.join(dir, 'vydata/admin.pwd'))) {
    throw new Error(`no administrator: ${instance.lighttpd.errors}`);
  }
  execFileSync('htpasswd', ['-cb', path.join(dir, '.htpasswd'), 'admin', 'secret'],
               {stdio: 'ignore'});
  const anonymous = await get(`${web}/vyrunner.cgi?metrics`);
  if (anonymous.status !== 401) throw new Error(`a scrape without login got ${anonymous.status}`);

  log(`the site ${site.url} in a group; Prometheus scrapes every second`);
  await worker(dir, ['writegroup', 'shop'], `checktime=10\nurl=${site.url}\n`);
  const apiPort = await freePort();
  fs.writeFileSync(path.join(work, 'prometheus.yml'), prometheusConfig(instance.port));
  const prometheus = start('prometheus', [
    `--config.file=${path.join(work, 'prometheus.yml')}`,
    `--storage.tsdb.path=${path.join(work, 'data')}`,
    `--web.listen-address=127.0.0.1:${apiPort}`,
  ]);
  const api = `http://127.0.0.1:${apiPort}`;
  const firstScrape = waitFor('a first scrape', 20000, () => urlUp(api, site.url));
  const seen = await firstScrape.catch((error) => {
    throw new Error(`${error.message}: ${prometheus.errors}`);
  });
  if (seen !== '0') throw new Error(`a never-checked URL shows vantry_url_up ${seen}`);

  log('a check run: the site is up');
  await worker(dir, ['check', '10', '2']);
  await urlUpBecomes(api, site.url, '1');

  log('the site fails and is checked again: down');
  site.failing = true;
  await worker(dir, ['checkurl', 'shop'], `url=${site.url}\n`, 0);  // its state: down
  await urlUpBecomes(api, site.url, '0');
  log(`passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

run('metrics', main, 60000);
