// The login page: pre-filled from the saved settings, sends "doLogin" and
// waits for the window's verdict.
(function () {
  'use strict';

  const PROTOCOLS = ['https://', 'http://'];
  let send = () => Promise.resolve();

  const app = Vue.createApp({
    data() {
      return {
        title: 'Wexora云盘',
        protocol: 'https://',
        address: '',
        username: '',
        password: '',
        showPassword: false,
        state: 'idle', // idle | busy | done
        error: '',
        invalid: '',
      };
    },
    computed: {
      busy() { return this.state !== 'idle'; },
      protocols() {
        // A saved protocol other than the usual two is kept selectable.
        return PROTOCOLS.includes(this.protocol) ? PROTOCOLS : [this.protocol, ...PROTOCOLS];
      },
      buttonText() {
        return this.state === 'busy' ? '正在登录…' : this.state === 'done' ? '登录成功' : '登录';
      },
    },
    watch: {
      title(value) { document.title = value; },
    },
    methods: {
      // Saved settings: {"protocol","address","username","password","title"}.
      reloadData(jsonText) {
        const data = KRows.parseObject(jsonText);
        const text = (key) => (data[key] == null ? '' : String(data[key]));
        this.protocol = text('protocol') || 'https://';
        this.address = text('address');
        this.username = text('username');
        this.password = text('password');
        if (text('title')) this.title = text('title');
        this.$nextTick(() => this.focusFirstEmpty());
      },
      // {"code":"0"|"1","message":...}
      loginCallback(jsonText) {
        const result = KRows.parseObject(jsonText);
        if (String(result.code) === '0') {
          this.state = 'done';
          this.error = '';
          return;
        }
        this.state = 'idle';
        this.error = result.message ? String(result.message) : '登录失败';
      },
      splitScheme() {
        // A pasted "https://host/" goes into the two fields it belongs to.
        const match = /^(https?:\/\/)(.*)$/i.exec(this.address.trim());
        if (match) {
          this.protocol = match[1].toLowerCase();
          this.address = match[2];
        }
        this.address = this.address.trim().replace(/\/+$/, '');
      },
      validate() {
        if (!this.address) return ['address', '请输入服务器地址'];
        if (!this.username) return ['username', '请输入用户名'];
        if (!this.password) return ['password', '请输入密码'];
        return null;
      },
      login() {
        if (this.busy) return;
        this.splitScheme();
        const problem = this.validate();
        this.invalid = problem ? problem[0] : '';
        this.error = problem ? problem[1] : '';
        if (problem) {
          this.$refs[problem[0]].focus();
          return;
        }
        this.state = 'busy';
        const param = JSON.stringify({
          protocol: this.protocol, address: this.address, username: this.username, password: this.password,
        });
        // Without a reply the window has shown a message box of its own.
        send('doLogin', param).then(() => {
          if (this.state === 'busy') this.state = 'idle';
        });
      },
      clearError(field) {
        if (this.invalid === field) {
          this.invalid = '';
          this.error = '';
        }
      },
      focusFirstEmpty() {
        const first = ['address', 'username', 'password'].find((key) => !this[key]);
        if (first) this.$refs[first].focus();
      },
      hide() { send('doHide', ''); },
      exit() { send('doExit', ''); },
    },
  });

  window.loginVue = app.mount('#app');

  KBridge.connect('loginobj', (channelSend) => {
    send = channelSend;
    send('getLoginData', '');
  });
})();
