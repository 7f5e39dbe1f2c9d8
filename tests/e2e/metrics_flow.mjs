// The worker's metrics as a real Prometheus sees them: Debian's prometheus scrapes
// vyrunner.cgi?metrics every second through lighttpd with basic authentication, and its query API
// shows a loopback test site up after a check run and down after the site fails and is checked
// again. An https site of the same group, whose certificate a private CA made at the start signed,
// shows the certificate's expiry after the check run.
//
//   node tests/e2e/metrics_flow.mjs STAGE_DIR
//
// STAGE_DIR holds the installed programs and templates; a fresh copy of it is the instance.
// Everything listens on loopback addresses only; every wait is bounded and the whole flow ends
// within a minute. Every process started here is stopped by its pid and every temporary
// directory is removed.
import {execFileSync, spawn} from 'node:child_process';
import {X509Certificate} from 'node:crypto';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import {argsOf, basicAuth, freePort, get, listenOnFreeLoopback, log, post, run, start,
  startInstance, startSite, waitFor} from './instance.mjs';

const [stageDir] = argsOf('metrics_flow.mjs STAGE_DIR');

// Runs the worker in the instance with the administrator's password, trusting the flow's CA
// (caFile) and nothing else, at most 30 s; throws unless it exits with `expected`. Asynchronous,
// so that the test sites in this process can answer it.
async function worker({dir, caFile}, args, input = '', expected = 0) {
  const child = spawn('./vyrunner.cgi', args, {
    cwd: dir, stdio: ['pipe', 'ignore', 'ignore'], timeout: 30000,
    env: {PATH: process.env.PATH, ADMIN_PWD: 'secret', SSL_CERT_FILE: caFile},
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

// A private CA and a leaf certificate for the address, valid for `days` days from now, made in
// `work` with the openssl command: {caFile, key, cert (PEM)}. The CA lasts longer, so that the
// leaf holds the chain's earliest expiry.
function makeCertificates(work, address, days) {
  const file = (name) => path.join(work, name);
  const openssl = (args) => execFileSync('openssl', args, {stdio: ['ignore', 'ignore', 'pipe']});
  const ecKey = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  openssl(['req', '-x509', ...ecKey, '-keyout', file('ca.key'), '-out', file('ca.pem'),
           '-days', String(days * 3), '-subj', '/CN=Vantry test CA']);
  openssl(['req', ...ecKey, '-keyout', file('site.key'), '-out', file('site.csr'),
           '-subj', `/CN=${address}`]);
  fs.writeFileSync(file('site.ext'),
                   `basicConstraints=CA:FALSE\nsubjectAltName=IP:${address}\n`);
  openssl(['x509', '-req', '-in', file('site.csr'), '-CA', file('ca.pem'), '-CAkey',
           file('ca.key'), '-set_serial', '1', '-days', String(days), '-extfile',
           file('site.ext'), '-out', file('site.pem')]);
  return {caFile: file('ca.pem'), key: fs.readFileSync(file('site.key')),
          cert: fs.readFileSync(file('site.pem'))};
}

// An https site on port 443 of a free 127.0.0.x serving `page`, with a certificate for that
// address that lasts `days` days: {url, caFile (its CA, to trust), notAfter (the certificate's
// expiry, seconds since 1970)}.
async function startHttpsSite(work, page, days) {
  const server = https.createServer((request, response) => {
    response.writeHead(200, {'Content-Type': 'text/html'});
    response.end(page);
  });
  const address = await listenOnFreeLoopback(server, 443, 'the https site');
  const {caFile, key, cert} = makeCertificates(work, address, days);
  server.setSecureContext({key, cert});
  const notAfter = Date.parse(new X509Certificate(cert).validTo) / 1000;
  return {url: `https://${address}/`, caFile, notAfter};
}

// The value of the query's single sample as Prometheus holds it now, undefined while it has none.
async function sample(api, promql) {
  const query = encodeURIComponent(promql);
  const {status, body} = await get(`${api}/api/v1/query?query=${query}`);
  const result = status === 200 ? JSON.parse(body).data.result : [];
  return result.length === 1 ? result[0].value[1] : undefined;
}

// The value of vantry_url_up for the URL as Prometheus holds it now, undefined while it has none.
function urlUp(api, url) { return sample(api, `vantry_url_up{url="${url}"}`); }

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
  const secure = await startHttpsSite(work, '<html><body>Checkout</body></html>', 10);
  const runner = {dir, caFile: secure.caFile};
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

  log(`the sites ${site.url} and ${secure.url} in a group; Prometheus scrapes every second`);
  await worker(runner, ['writegroup', 'shop'],
               `checktime=10\nurl=${site.url}\nurl=${secure.url}\n`);
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
  const expiryQuery = `vantry_url_certificate_expiry_timestamp_seconds{url="${secure.url}"}`;
  const unchecked = await sample(api, expiryQuery);  // scraped, never checked
  if (unchecked !== undefined) throw new Error(`a never-checked URL shows an expiry ${unchecked}`);

  log('a check run: the site is up, the https site has its certificate\'s expiry');
  await worker(runner, ['check', '10', '2']);
  await urlUpBecomes(api, site.url, '1');
  const expiry = await waitFor('the certificate expiry', 10000, () => sample(api, expiryQuery))
                     .catch(async (error) => {
                       const up = await urlUp(api, secure.url).catch(() => undefined);
                       throw new Error(`${error.message} (${secure.url} up: ${up})`);
                     });
  if (Math.abs(Number(expiry) - secure.notAfter) > 1) {
    throw new Error(`the certificate expiry shows ${expiry}, not ${secure.notAfter}`);
  }

  log('the site fails and is checked again: down');
  site.failing = true;
  await worker(runner, ['checkurl', 'shop'], `url=${site.url}\n`, 0);  // its state: down
  await urlUpBecomes(api, site.url, '0');
  log(`passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

run('metrics', main, 60000);
